'use strict';
// The browser page end to end: the system Chromium, headless, loads web/ from a real Mosquitto's
// websockets listener and watches real benches (dispvanto publishing simulated boards).
//   node test_web.js DISPVANTO BOARDSIM WEB_DIR WORK_DIR SCREENSHOT_DIR
// Exits 77 (skipped) when there is no Chromium.
const fs = require('node:fs');
const path = require('node:path');
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { Entorno, esperar, CHROMIUM, USUARIO_VISOR, CLAVE_VISOR } = require('./entorno.js');

if (!fs.existsSync(CHROMIUM)) {
  console.log(`test_web: no hay ${CHROMIUM} (scripts/install-deps lo instala); se omite`);
  process.exit(77);
}
const [dispvanto, boardsim, web, carpeta, capturas] = process.argv.slice(2);
const PLAZO = 20000; // generous: a loaded two-core machine, never the figure under test

// The simulated board's wave (tools/boardsim/waveform.h) and its range.
const onda = (n) => {
  const v = 2500 + 1900 * Math.sin((2 * Math.PI * n) / 960) + 400 * Math.sin((2 * Math.PI * n) / 37);
  return Math.round(Math.min(5000, Math.max(0, v)));
};
const ONDA_MIN = 200, ONDA_MAX = 4800;
const CUENTA_BANCO2 = 90000; // board 2 sends these, then stays open and quiet

const e = new Entorno({ dispvanto, boardsim, web, carpeta });
let general, pagina2, bancos, oidos;
const visor = (extra) => ({ usuario: USUARIO_VISOR, ...extra });

// What a row of the overview shows, as text.
const fila = (p, tema) => p.evaluate((t) => {
  const tr = [...document.querySelectorAll('#bancos tbody tr')].find((r) => r.dataset.tema === t);
  if (!tr) return null;
  const c = (k) => tr.querySelector('td.' + k);
  const o = { marcado: tr.classList.contains('marcado'), claseEstado: c('estado').className };
  for (const k of ['tema', 'estado', 'ultima', 'ritmo', 'minimo', 'maximo', 'media', 'dispositivo', 'configuracion', 'aviso'])
    o[k] = c(k).textContent;
  o.elementosDispositivo = c('dispositivo').children.length;
  return o;
}, tema);

const historia = (p) => p.evaluate(() => ({ total: DV.pagina.historia.total, cuadros: DV.pagina.cuadros,
  faltan: DV.pagina.historia.faltan, ultima: document.getElementById('ultima').textContent }));
const trazo = (p) => p.evaluate(() => JSON.stringify(DV.pagina.traza.u.data));

// The envelope drawn: every column within the board's wave, and the whole wave covered.
async function envolventeDentroDeLaOnda(p, que) {
  const [x, lo, hi] = JSON.parse(await trazo(p));
  const l = lo.filter((v) => v !== null), h = hi.filter((v) => v !== null);
  // A bench reads its port in blocks sharing one arrival time, so columns may be empty; those
  // drawn reach from the window's first half to its newest sample, in the last column.
  const llenas = lo.map((v, i) => (v === null ? -1 : i)).filter((i) => i >= 0);
  assert.ok(llenas[0] < x.length / 2 && llenas[llenas.length - 1] === x.length - 1,
    `${que}: columnas dibujadas ${llenas[0]} … ${llenas[llenas.length - 1]} de ${x.length}`);
  assert.ok(Math.min(...l) >= ONDA_MIN && Math.max(...h) <= ONDA_MAX,
    `${que}: envolvente ${Math.min(...l)} … ${Math.max(...h)} fuera de ${ONDA_MIN} … ${ONDA_MAX}`);
  assert.ok(Math.min(...l) <= ONDA_MIN + 100 && Math.max(...h) >= ONDA_MAX - 100,
    `${que}: envolvente ${Math.min(...l)} … ${Math.max(...h)} no cubre la onda`);
  assert.ok(lo.every((v, i) => v === null || v <= hi[i]), `${que}: un mínimo sobre su máximo`);
}

before(async () => {
  fs.mkdirSync(capturas, { recursive: true });
  await e.iniciarBroker();
  oidos = e.escucharResumenes();
  await e.navegador();
  // Bench 2's page is open before it starts, so it sees every sample; a threshold it crosses.
  pagina2 = await e.abrir('banco.html', visor({ tema: 'lab/banco2' }), CLAVE_VISOR);
  await esperar(() => pagina2.$eval('#estado-conexion', (n) => n.className === 'conexion-conectado'), PLAZO, 'conexión de la página del banco 2');
  await pagina2.type('#umbrales input[name=alto]', '4700');
  await pagina2.click('#umbrales button[type=submit]');
  general = await e.abrir('index.html', visor({ prefijo: 'lab/+' }), CLAVE_VISOR);
  bancos = {
    1: await e.iniciarBanco('lab/banco1', ['--baud', '115200']),
    2: await e.iniciarBanco('lab/banco2', ['--baud', '115200', '--count', String(CUENTA_BANCO2), '--linger', '600']),
  };
});

after(async () => {
  await e.cerrar();
});

// A row shows exactly the figures of one summary the bench published, with more than `ritmo`
// samples a second (a bench's first summary may cover only part of a second).
async function filaComoSuResumen(tema, ritmo = 0) {
  return esperar(async () => {
    const f = await fila(general, tema);
    const oido = (oidos[tema] || []).filter((r) => r.muestras_segundo > ritmo);
    return f && f.estado === 'en línea' && /estado-en-linea/.test(f.claseEstado) &&
      oido.some((r) => f.ultima === String(r.ultima) && f.ritmo === String(r.muestras_segundo) &&
        f.minimo === String(r.minimo) && f.maximo === String(r.maximo) && f.media === r.media.toFixed(1)) && f;
  }, PLAZO, `la fila de ${tema} con su resumen`);
}

test('la vista general lista los bancos con el estado y las cifras de su resumen, y uno que arranca después aparece', async () => {
  for (const n of [1, 2]) {
    const f = await filaComoSuResumen('lab/banco' + n);
    assert.equal(f.dispositivo, bancos[n].dispositivo);
    assert.equal(f.configuracion, '115200,N,8,1');
  }
  assert.equal(await fila(general, 'lab/banco3'), null);
  bancos[3] = await e.iniciarBanco('lab/banco3', ['--baud', '12000000']); // 1.2 MB/s
  await filaComoSuResumen('lab/banco3', 100000);
  const temas = await general.$$eval('#bancos tbody tr', (rs) => rs.map((r) => r.dataset.tema));
  assert.deepEqual(temas, ['lab/banco1', 'lab/banco2', 'lab/banco3']);
  await general.screenshot({ path: path.join(capturas, 'vista-general-tres-bancos.png') });
});

test('la página de un banco a 1,2 MB/s dibuja una envolvente dentro de la onda, y la pausa la congela mientras siguen llegando muestras', async () => {
  const p = await e.abrir('banco.html', visor({ tema: 'lab/banco3' }), CLAVE_VISOR);
  await p.$eval('#ventana', (n) => { n.value = '1'; n.dispatchEvent(new Event('change')); });
  await esperar(() => p.evaluate(() => DV.pagina.historia.tUltimo - DV.pagina.historia.tPrimero > 1.3),
    3 * PLAZO, 'más de 1 s de muestras del banco 3');
  const visto = await historia(p);
  await esperar(async () => (await historia(p)).cuadros > visto.cuadros + 2, PLAZO, 'cuadros dibujados con la ventana llena');
  await envolventeDentroDeLaOnda(p, 'banco 3');
  await p.screenshot({ path: path.join(capturas, 'banco-a-1.2MBs.png') });

  await p.click('#pausa');
  const congelado = await trazo(p);
  const antes = await historia(p);
  await esperar(async () => {
    const h = await historia(p);
    return h.total > antes.total + 300000 && h.cuadros > antes.cuadros + 20;
  }, PLAZO, 'muestras y cuadros durante la pausa');
  assert.equal(await trazo(p), congelado, 'la traza cambió en pausa');
  // Each millisecond's extremes reach the page whole: not one sample of the bench is missing.
  const durante = await historia(p);
  assert.equal(durante.faltan, 0, `no llegaron ${durante.faltan} muestras a la página`);
  assert.match(await p.$eval('#modo', (n) => n.textContent), /En pausa/);
  await p.click('#pausa');
  await esperar(async () => (await trazo(p)) !== congelado, PLAZO, 'la traza en vivo otra vez');
  assert.deepEqual(p.errores, []);
  await p.close();
  await e.terminar(bancos[3].banco); // its load is not needed further on
});

test('la última muestra de la página es la del banco, y el umbral cruzado marca el banco en la vista general hasta darlo por visto', async () => {
  await esperar(async () => (await historia(pagina2)).total === CUENTA_BANCO2, PLAZO, `las ${CUENTA_BANCO2} muestras del banco 2`);
  const final = await esperar(() => (oidos['lab/banco2'] || []).find((r) => r.muestras === CUENTA_BANCO2),
    PLAZO, 'el resumen final del banco 2');
  await pagina2.bringToFront(); // a tab in the background draws nothing
  const ultima = await esperar(async () => (await historia(pagina2)).ultima, PLAZO, 'la última muestra en la página');
  assert.equal(ultima, String(final.ultima));
  assert.equal(ultima, String(onda(CUENTA_BANCO2 - 1)));
  await envolventeDentroDeLaOnda(pagina2, 'banco 2');

  // A view as docs/mqtt.md writes it, after the bench's last sample: a batch or an envelope whose
  // size does not hold together is refused; one with a longer header (a later version's) is read
  // past it.
  const lote = (cabecera, n, valores) => {
    const b = Buffer.alloc(cabecera + 2 * valores.length);
    b.write('DVMQ', 0, 'latin1');
    b.writeUInt16LE(1, 4);
    b.writeUInt16LE(cabecera, 6);
    b.writeBigUInt64LE(BigInt(final.sesion), 8);
    b.writeBigUInt64LE(BigInt(CUENTA_BANCO2), 16);
    b.writeUInt32LE(n, 24);
    b.writeBigInt64LE(BigInt(Date.now()) * 1000000n, 32);
    valores.forEach((v, i) => b.writeUInt16LE(v, cabecera + 2 * i));
    return b;
  };
  const envolvente = (cabecera, primera, n, k, ms) => {
    const b = Buffer.alloc(cabecera + 8 * ms.length);
    b.write('DVEN', 0, 'latin1');
    b.writeUInt16LE(1, 4);
    b.writeUInt16LE(cabecera, 6);
    b.writeBigUInt64LE(BigInt(final.sesion), 8);
    b.writeBigUInt64LE(BigInt(primera), 16);
    b.writeUInt32LE(n, 24);
    b.writeUInt32LE(k, 28);
    b.writeBigInt64LE(BigInt(10 * 60 * 1000), 32); // ten minutes in: after the bench's last
    b.writeUInt16LE(4321, 40);
    ms.forEach(([desde, lo, hi], i) => { b.writeUInt32LE(desde, cabecera + 8 * i); b.writeUInt16LE(lo, cabecera + 8 * i + 4); b.writeUInt16LE(hi, cabecera + 8 * i + 6); });
    return b;
  };
  const rechazados = await pagina2.evaluate(() => DV.pagina.rechazados);
  e.publicarBinario('lab/banco2/vista', lote(40, 1000, [9, 9, 9]));
  e.publicarBinario('lab/banco2/vista', envolvente(48, CUENTA_BANCO2, 500, 3, [[0, 1, 2], [5, 3, 4]]));
  e.publicarBinario('lab/banco2/vista', envolvente(48, CUENTA_BANCO2, 500, 2, [[0, 1, 2], [0, 3, 4]])); // not rising
  await esperar(() => pagina2.evaluate((r) => DV.pagina.rechazados === r + 3, rechazados), PLAZO, 'los mensajes incoherentes rechazados');
  e.publicarBinario('lab/banco2/vista', lote(48, 3, [1111, 2222, 1234]));
  await esperar(async () => (await historia(pagina2)).ultima === '1234', PLAZO, 'el lote de cabecera más larga leído');
  assert.equal((await historia(pagina2)).total, CUENTA_BANCO2 + 3);
  e.publicarBinario('lab/banco2/vista', envolvente(56, CUENTA_BANCO2 + 3, 500, 2, [[0, 100, 4321], [7, 50, 60]]));
  await esperar(async () => (await historia(pagina2)).ultima === '4321', PLAZO, 'la envolvente de cabecera más larga leída');
  const h2 = await historia(pagina2);
  assert.equal(h2.total, CUENTA_BANCO2 + 503);
  assert.equal(h2.faltan, 0);

  const f2 = await esperar(async () => { const f = await fila(general, 'lab/banco2'); return f.marcado && f; }, PLAZO, 'la marca del banco 2');
  assert.match(f2.aviso, /superó el umbral alto 4700/);
  assert.equal((await fila(general, 'lab/banco1')).marcado, false, 'marcado un banco sin umbrales');
  assert.match(await pagina2.$eval('#marca', (n) => n.textContent), /superó el umbral alto 4700/);
  await general.bringToFront(); // a click waits for a frame, which a background tab never draws
  await general.click('tr[data-tema="lab/banco2"] td.aviso button');
  const visto = await fila(general, 'lab/banco2');
  assert.equal(visto.marcado, false);
  assert.equal(visto.aviso, '');
  await esperar(() => pagina2.$eval('#marca', (n) => n.textContent === ''), PLAZO, 'la marca quitada en la página del banco');
});

test('lo que llega de la red se muestra como texto, nunca como marcado', async () => {
  const trampa = '<img src=x onerror="window.atacado=1">';
  const tema = 'lab/<b onclick=x>';
  const ms = Date.now();
  e.publicarRetenido(tema + '/meta', JSON.stringify({ formato: 1, codificacion: 'u16le', programa: '<script>x</script>',
    dispositivo: trampa, configuracion: '<i>9600</i>', puerto: 'COM1', sesion: 7, inicio: new Date(ms).toISOString(),
    inicio_unix_ns: 0, reloj_cero_unix_ns: 0 }).replace(/"inicio_unix_ns":0/, `"inicio_unix_ns":${ms}000000`));
  e.publicarRetenido(tema + '/estado', 'en línea (sesión 7)');
  const f = await esperar(async () => { const r = await fila(general, tema); return r && r.dispositivo && r; }, PLAZO, 'la fila del tema con marcado');
  assert.equal(f.dispositivo, trampa);
  assert.equal(f.configuracion, '<i>9600</i>');
  assert.equal(f.tema, tema);
  assert.equal(f.elementosDispositivo, 0);
  assert.equal(await general.evaluate(() => window.atacado), undefined);
  assert.equal(await general.$$eval('#bancos img, #bancos b, #bancos i', (n) => n.length), 0);
});

test('un dispositivo perdido se ve en 2 s, y un banco matado, fuera de línea', async () => {
  const desde = Date.now();
  await e.terminar(bancos[1].placa);
  await esperar(async () => (await fila(general, 'lab/banco1')).estado === 'dispositivo perdido', PLAZO, 'dispositivo perdido');
  const tardo = Date.now() - desde;
  console.log(`# dispositivo perdido visto en ${tardo} ms`);
  assert.ok(tardo <= 2000, `dispositivo perdido visto en ${tardo} ms`);
  assert.match((await fila(general, 'lab/banco1')).claseEstado, /estado-perdido/);
  await e.terminar(bancos[1].banco, 'SIGKILL');
  const f = await esperar(async () => { const r = await fila(general, 'lab/banco1'); return r.estado === 'fuera de línea' && r; },
    PLAZO, 'fuera de línea');
  assert.match(f.claseEstado, /estado-fuera/);
});

test('una contraseña equivocada se dice en la página, y ninguna contraseña queda en la dirección', async () => {
  const p = await e.abrir('index.html', visor({ prefijo: 'lab/+' }), 'no-es-la-clave');
  const aviso = await esperar(() => p.$eval('#estado-conexion', (n) => n.className === 'conexion-rechazado' && n.textContent),
    PLAZO, 'el rechazo dicho en la página');
  assert.equal(aviso, 'El broker rechazó el usuario o la contraseña.');
  assert.equal(await p.$$eval('#bancos tbody tr', (r) => r.length), 0);
  for (const q of await e.chromium.pages())
    assert.ok(!q.url().includes(CLAVE_VISOR) && !q.url().includes('no-es-la-clave'), q.url());
  await p.close();
});

test('las páginas solo se suscriben: el broker no recibió ninguna publicación suya', async () => {
  assert.deepEqual(general.errores, []);
  assert.deepEqual(pagina2.errores, []);
  const log = fs.readFileSync(e.logBroker, 'utf8');
  assert.match(log, /New client connected from .* as dvweb-/);
  assert.match(log, /Received PUBLISH from /); // the benches': the log does record publications
  assert.doesNotMatch(log, /Received PUBLISH from dvweb-/);
});
