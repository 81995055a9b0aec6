'use strict';
// Real processes for the web tests and figures: a Mosquitto of their own with an ordinary
// listener and a websockets one that serves web/ (2.0.11 refuses a websockets listener alone),
// simulated boards on pseudo-terminals and benches publishing them, and the system Chromium.
// Every process started here is ended here, by its pid.
const { spawn, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');

const CHROMIUM = process.env.DISPVANTO_CHROMIUM || '/usr/bin/chromium';
const USUARIO_BANCO = 'banco';
const CLAVE_BANCO = 'clave-de-banco';
const USUARIO_VISOR = 'visor';
const CLAVE_VISOR = 'clave-de-visor';

/// Polls cond() (sync or async) every 50 ms until it is truthy or plazoMs pass; returns its value.
async function esperar(cond, plazoMs, que) {
  const fin = Date.now() + plazoMs;
  for (;;) {
    const v = await cond();
    if (v) return v;
    if (Date.now() > fin) throw new Error('no llegó en ' + plazoMs / 1000 + ' s: ' + que);
    await new Promise((r) => setTimeout(r, 50));
  }
}

function puertoLibre(puerto) {
  return new Promise((resolve) => {
    const s = net.createServer();
    s.once('error', () => resolve(false));
    s.listen(puerto, '127.0.0.1', () => s.close(() => resolve(true)));
  });
}

// A free loopback port in 40000 … 49999; one taken between this look and the broker's bind
// makes the broker fail, and the start is tried again with other ports.
async function candidato(evitar) {
  for (;;) {
    const p = 40000 + Math.floor(Math.random() * 10000);
    if (!evitar.includes(p) && (await puertoLibre(p))) return p;
  }
}

class Entorno {
  /// opciones: dispvanto, boardsim, web (folder served), carpeta (this run's files, emptied first)
  constructor(opciones) {
    Object.assign(this, opciones);
    this.procesos = [];
    // Whatever ends this script, nothing it started outlives it.
    process.once('exit', () => this.procesos.forEach((p) => p.vivo && p.kill('SIGKILL')));
    for (const programa of [this.dispvanto, this.boardsim])
      if (!fs.existsSync(programa)) throw new Error('falta ' + programa + ' (¿compilado?)');
    fs.rmSync(this.carpeta, { recursive: true, force: true });
    fs.mkdirSync(this.carpeta, { recursive: true });
  }

  archivo(nombre) {
    return path.join(this.carpeta, nombre);
  }

  lanzar(programa, args, salida) {
    const fd = fs.openSync(this.archivo(salida), 'w');
    const p = spawn(programa, args, { stdio: ['ignore', fd, fd] });
    fs.closeSync(fd);
    p.terminado = new Promise((r) => {
      p.once('exit', (codigo, senal) => r({ codigo, senal }));
      p.once('error', (error) => r({ error }));
    });
    p.vivo = true;
    p.once('exit', () => { p.vivo = false; });
    p.once('error', () => { p.vivo = false; });
    this.procesos.push(p);
    return p;
  }

  async terminar(p, senal = 'SIGTERM') {
    if (p.vivo) p.kill(senal);
    return p.terminado;
  }

  async iniciarBroker() {
    execFileSync('mosquitto_passwd', ['-c', '-b', this.archivo('passwd'), USUARIO_BANCO, CLAVE_BANCO]);
    execFileSync('mosquitto_passwd', ['-b', this.archivo('passwd'), USUARIO_VISOR, CLAVE_VISOR]);
    fs.writeFileSync(this.archivo('acl'), `user ${USUARIO_BANCO}\ntopic readwrite lab/#\n\nuser ${USUARIO_VISOR}\ntopic read lab/#\n`);
    fs.writeFileSync(this.archivo('clave'), CLAVE_BANCO + '\n', { mode: 0o600 });
    const yo = require('node:os').userInfo().username;
    for (let intento = 1; intento <= 20; intento++) {
      this.puerto = await candidato([]);
      this.puertoWeb = await candidato([this.puerto]);
      const log = this.archivo(`mosquitto.${intento}.log`);
      fs.writeFileSync(this.archivo('mosquitto.conf'), [
        `listener ${this.puerto} 127.0.0.1`,
        `listener ${this.puertoWeb} 127.0.0.1`,
        'protocol websockets',
        `http_dir ${this.web}`,
        'allow_anonymous false',
        `password_file ${this.archivo('passwd')}`,
        `acl_file ${this.archivo('acl')}`,
        `log_dest file ${log}`,
        'log_type all',
        `user ${yo}`,
        '',
      ].join('\n'));
      this.broker = this.lanzar('mosquitto', ['-c', this.archivo('mosquitto.conf')], `mosquitto.${intento}.out`);
      this.logBroker = log;
      const leer = () => (fs.existsSync(log) ? fs.readFileSync(log, 'utf8') : '');
      await esperar(() => / running/.test(leer()) || !this.broker.vivo, 15000, 'el arranque de mosquitto');
      if (this.broker.vivo && /Opening websockets listen socket/.test(leer())) return;
      await this.terminar(this.broker, 'SIGKILL');
      if (!/Address already in use/.test(leer() + fs.readFileSync(this.archivo(`mosquitto.${intento}.out`), 'utf8')))
        throw new Error('mosquitto no arrancó:\n' + leer());
    }
    throw new Error('mosquitto no encontró puertos libres');
  }

  /// A simulated board (its options) and a bench publishing it under tema; returns both.
  async iniciarBanco(tema, opcionesPlaca) {
    const nombre = tema.replace(/\W/g, '_');
    const placa = this.lanzar(this.boardsim, opcionesPlaca, nombre + '.placa');
    const dispositivo = await esperar(() => {
      const t = fs.readFileSync(this.archivo(nombre + '.placa'), 'utf8');
      return t.includes('\n') ? t.split('\n')[0] : null;
    }, 10000, 'la terminal de la placa de ' + tema);
    const banco = this.lanzar(this.dispvanto, [
      '--sin-ventanas', '--com1', dispositivo, '--config', '115200,N,8,1', '--reconectar',
      '--mqtt', '127.0.0.1:' + this.puerto, '--mqtt-tema', tema,
      '--mqtt-usuario', USUARIO_BANCO, '--mqtt-clave-archivo', this.archivo('clave'),
    ], nombre + '.banco');
    return { placa, banco, dispositivo };
  }

  /// A retained message, as a bench or an intruder with the bench's rights would publish it.
  publicarRetenido(tema, texto) {
    execFileSync('mosquitto_pub', ['-h', '127.0.0.1', '-p', String(this.puerto), '-u', USUARIO_BANCO, '-P', CLAVE_BANCO,
      '-q', '1', '-r', '-t', tema, '-m', texto]);
  }

  /// A binary message, not retained (a crafted batch).
  publicarBinario(tema, bytes) {
    fs.writeFileSync(this.archivo('mensaje.bin'), bytes);
    execFileSync('mosquitto_pub', ['-h', '127.0.0.1', '-p', String(this.puerto), '-u', USUARIO_BANCO, '-P', CLAVE_BANCO,
      '-q', '1', '-t', tema, '-f', this.archivo('mensaje.bin')]);
  }

  /// The summaries the benches publish, as a second subscriber hears them: {tema: [resumen…]}.
  escucharResumenes() {
    const oidos = {};
    const p = spawn('mosquitto_sub', ['-h', '127.0.0.1', '-p', String(this.puerto), '-u', USUARIO_VISOR, '-P', CLAVE_VISOR,
      '-t', 'lab/+/resumen', '-F', '%t %p'], { stdio: ['ignore', 'pipe', 'ignore'] });
    p.terminado = new Promise((r) => p.once('exit', r));
    p.vivo = true;
    p.once('exit', () => { p.vivo = false; });
    this.procesos.push(p);
    let resto = '';
    p.stdout.on('data', (d) => {
      const lineas = (resto + d).split('\n');
      resto = lineas.pop();
      for (const l of lineas) {
        const corte = l.indexOf(' ');
        const tema = l.slice(0, corte).replace(/\/resumen$/, '');
        (oidos[tema] = oidos[tema] || []).push(JSON.parse(l.slice(corte + 1)));
      }
    });
    return oidos;
  }

  async navegador(args = []) {
    const puppeteer = require('puppeteer-core');
    this.chromium = await puppeteer.launch({
      executablePath: CHROMIUM,
      headless: true,
      protocolTimeout: 30000,
      args: ['--no-sandbox', '--disable-gpu', '--disable-background-timer-throttling',
        '--disable-renderer-backgrounding', '--disable-backgrounding-occluded-windows', ...args],
    });
    return this.chromium;
  }

  url(pagina, parametros) {
    const q = new URLSearchParams(parametros);
    return `http://127.0.0.1:${this.puertoWeb}/${pagina}?${q}`;
  }

  /// Opens a page of web/ and connects through its form with the given password.
  async abrir(pagina, parametros, clave, ancho = 1300, alto = 800) {
    const p = await this.chromium.newPage();
    p.errores = [];
    p.on('pageerror', (e) => p.errores.push(e.message));
    await p.setViewport({ width: ancho, height: alto });
    await p.goto(this.url(pagina, parametros), { waitUntil: 'load' });
    await p.type('#conexion input[name=clave]', clave);
    await p.click('#conexion button[type=submit]');
    return p;
  }

  async cerrar() {
    if (this.chromium) await this.chromium.close().catch(() => {});
    for (const p of this.procesos.reverse()) {
      if (!p.vivo) continue;
      p.kill('SIGKILL');
      await p.terminado;
    }
  }
}

module.exports = { Entorno, esperar, CHROMIUM, USUARIO_VISOR, CLAVE_VISOR };
