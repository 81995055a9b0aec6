'use strict';
// The browser page's figures, printed and never asserted: latency from a sample's arrival at the
// bench's port to the frame that drew it (115200 baud), the browser's CPU showing a 1.2 MB/s
// bench, the broker's CPU with 1 and 10 viewers of it, and the page's JavaScript heap after 1 and
// after N minutes of it. Real processes throughout (tests/web/entorno.js), in the system Chromium.
//   node bench/web-figures.js BUILD_DIR [HEAP_MINUTES]      (make bench-web)
//   WEB_FIGURES=latencia|rapido node bench/web-figures.js …  one part alone
const fs = require('node:fs');
const path = require('node:path');
const { Entorno, esperar, USUARIO_VISOR, CLAVE_VISOR } = require('../tests/web/entorno.js');

const build = path.resolve(process.argv[2] || 'build-bench');
const minutosHeap = Number(process.argv[3] || 10);
const SEGUNDOS = 10; // of each CPU figure
const fuente = path.resolve(__dirname, '..');
const e = new Entorno({
  dispvanto: path.join(build, 'app/dispvanto'),
  boardsim: path.join(build, 'tools/boardsim/boardsim'),
  web: path.join(fuente, 'web'),
  carpeta: path.join(build, 'web-figuras'),
});
const dormir = (s) => new Promise((r) => setTimeout(r, s * 1000));
const fila = (que, valor, meta) => console.log(`  ${que.padEnd(58)} ${valor.padEnd(34)} ${meta}`);

// CPU seconds used so far by a process and all its descendants.
function cpu(raiz) {
  const hijos = new Map();
  const datos = new Map();
  for (const d of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(d)) continue;
    try {
      const s = fs.readFileSync(`/proc/${d}/stat`, 'utf8');
      const campos = s.slice(s.lastIndexOf(')') + 2).split(' ');
      const ppid = Number(campos[1]);
      datos.set(Number(d), (Number(campos[11]) + Number(campos[12])) / 100);
      (hijos.get(ppid) || hijos.set(ppid, []).get(ppid)).push(Number(d));
    } catch (err) { /* gone meanwhile */ }
  }
  let total = 0;
  const pila = [raiz];
  while (pila.length) {
    const p = pila.pop();
    total += datos.get(p) || 0;
    pila.push(...(hijos.get(p) || []));
  }
  return total;
}

async function porcentajeCpu(pid, segundos) {
  const a = cpu(pid), t = Date.now();
  await dormir(segundos);
  return (100 * (cpu(pid) - a)) / ((Date.now() - t) / 1000);
}

const visor = (extra) => ({ usuario: USUARIO_VISOR, ...extra });

async function abrirBanco(tema, medir) {
  const p = await e.abrir('banco.html', visor({ tema, ...(medir ? { medir: '1' } : {}) }), CLAVE_VISOR);
  await esperar(() => p.evaluate(() => DV.pagina.historia.total > 20000), 30000, 'muestras en la página de ' + tema);
  return p;
}

function cuantil(pares, q) {
  pares.sort((a, b) => a[0] - b[0]);
  const total = pares.reduce((s, [, n]) => s + n, 0);
  let acumulado = 0;
  for (const [v, n] of pares) if ((acumulado += n) >= q * total) return v;
  return NaN;
}

async function latencia() {
  const b = await e.iniciarBanco('lab/latencia', ['--baud', '115200']);
  const p = await abrirBanco('lab/latencia', true);
  await p.evaluate(() => { DV.pagina.latencias = []; });
  await dormir(SEGUNDOS);
  const pares = await p.evaluate(() => DV.pagina.latencias);
  const n = pares.reduce((s, [, k]) => s + k, 0);
  fila('latency at 115200 baud, bench port to page drawn', `median ${cuantil(pares, 0.5).toFixed(1)} ms, p99 ${cuantil(pares, 0.99).toFixed(1)} ms (${n} samples)`, 'p99 <= 150 ms');
  await p.close();
  await e.terminar(b.banco);
  await e.terminar(b.placa);
}

async function unaPagina(tema, como) {
  const p = await abrirBanco(tema, false);
  await dormir(2);
  const antes = await p.evaluate(() => [DV.pagina.cuadros, DV.pagina.historia.total, DV.pagina.historia.faltan]);
  const t0 = Date.now();
  const navegador = await porcentajeCpu(e.chromium.process().pid, SEGUNDOS);
  const despues = await p.evaluate(() => [DV.pagina.cuadros, DV.pagina.historia.total, DV.pagina.historia.faltan]);
  const s = (Date.now() - t0) / 1000;
  fila(`browser CPU, one page of a 1.2 MB/s bench, ${como}`, `${navegador.toFixed(0)} % of a core, ${((despues[0] - antes[0]) / s).toFixed(0)} frames/s`, '<= 15 % of a core');
  fila('  samples/s the page received / never got', `${((despues[1] - antes[1]) / s).toFixed(0)} / ${((despues[2] - antes[2]) / s).toFixed(0)}`, '');
  return p;
}

async function brokerCpu(tema, como) {
  fila(`broker CPU, 1.2 MB/s bench, 1 viewer, ${como}`, `${(await porcentajeCpu(e.broker.pid, SEGUNDOS)).toFixed(1)} % of a core`, '');
  const otros = [];
  for (let i = 0; i < 9; i++) otros.push(await abrirBanco(tema, false));
  fila(`broker CPU, 1.2 MB/s bench, 10 viewers, ${como}`, `${(await porcentajeCpu(e.broker.pid, SEGUNDOS)).toFixed(1)} % of a core`, '');
  for (const o of otros) await o.close();
}

async function rapido() {
  const b = await e.iniciarBanco('lab/rapido', ['--baud', '12000000']);
  fila('broker CPU, 1.2 MB/s bench, no viewer', `${(await porcentajeCpu(e.broker.pid, SEGUNDOS)).toFixed(1)} % of a core`, '');
  const p = await unaPagina('lab/rapido', 'its view');
  const t0 = Date.now();
  await brokerCpu('lab/rapido', 'its view');

  // The heap after a collection, so that what is measured is what the page keeps: the JS objects
  // and the typed arrays' memory beside them (the history's rings).
  const cdp = await p.createCDPSession();
  const heap = async () => {
    await cdp.send('HeapProfiler.collectGarbage');
    const h = await cdp.send('Runtime.getHeapUsage');
    const mb = (v) => ((v || 0) / 1048576).toFixed(1);
    return `${mb(h.usedSize)} + ${mb(h.backingStorageSize)} MB`;
  };
  await dormir(Math.max(0, 60 - (Date.now() - t0) / 1000));
  const alMinuto = await heap();
  await dormir((minutosHeap - 1) * 60);
  const alFinal = await heap();
  const [total, faltan] = await p.evaluate(() => [DV.pagina.historia.total, DV.pagina.historia.faltan]);
  fila(`page heap (objects + arrays), 1.2 MB/s bench, 1 / ${minutosHeap} min`, `${alMinuto}, ${alFinal}`, 'no growth; arrays ~15 MB');
  fila('  samples the page received / never got meanwhile', `${total} / ${faltan}`, '');
  await e.terminar(b.banco);
}

(async () => {
  await e.iniciarBroker();
  await e.navegador();
  console.log(`\n  ${'Browser page figure'.padEnd(58)} ${'value'.padEnd(34)} target`);
  const solo = process.env.WEB_FIGURES; // "latencia" or "rapido": one part alone
  if (!solo || solo === 'latencia') await latencia();
  if (!solo || solo === 'rapido') await rapido();
})().catch((err) => { console.error('web-figures:', err.message); process.exitCode = 1; })
  .finally(() => e.cerrar());
