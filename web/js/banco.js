'use strict';
// One bench: its state, meta and summary as text, the newest value large, and its view (TEMA/vista:
// batches while it is slow, each millisecond's extremes when fast) into the history that the
// trace draws from. With ?medir=1 in the address the page also keeps, for
// the benchmarks, how long each sample took from its arrival at the bench's port to the frame
// that drew it (the bench's arrival time against this machine's clock).
(function (DV) {
  const ajustes = DV.conexion.ajustesDeDireccion({ tema: '', prefijo: '' });
  const $ = (id) => document.getElementById(id);
  const avisar = DV.conexion.avisador($('estado-conexion'));
  const historia = new DV.Historia();
  const medir = new URLSearchParams(location.search).get('medir') === '1';
  const CLASES = {
    [DV.ESTADOS.enLinea]: 'estado-en-linea',
    [DV.ESTADOS.perdido]: 'estado-perdido',
    [DV.ESTADOS.fuera]: 'estado-fuera',
  };
  let meta = null;
  let vigia = null;
  let enlace = null;
  let pendientes = []; // [arrival ns, samples] added since the last frame
  let dibujadas = []; // … drawn by the last frame, timed at the start of the next one
  const pagina = { historia, latencias: [], lotes: 0, rechazados: 0, cuadros: 0 };
  DV.pagina = pagina;

  // Frames only when there is something new to show (a batch, a user's action), not at the
  // screen's rate: a browser asked for a frame every refresh works for it even when idle.
  let cuadroPedido = false;
  function pedirCuadro() {
    if (cuadroPedido) return;
    cuadroPedido = true;
    requestAnimationFrame(cuadro);
  }
  const traza = new DV.Traza($('traza'), historia, mostrarModo, pedirCuadro);
  pagina.traza = traza;

  function mostrarModo() {
    $('pausa').textContent = traza.vivo ? 'Pausa' : 'Seguir';
    $('modo').textContent = traza.vivo
      ? 'En vivo: los últimos ' + traza.ancho + ' s'
      : 'En pausa (las muestras siguen llegando): de ' + traza.t0.toFixed(3) + ' s a ' + traza.t1.toFixed(3) + ' s';
    const [a, b] = traza.cursores;
    const txt = (n, k) => n + ': ' + k.t.toFixed(4) + ' s, ' + k.v.toFixed(1);
    $('lecturas').textContent = !a ? '' : !b ? txt('A', a)
      : txt('A', a) + '; ' + txt('B', b) + '; Δt = ' + (b.t - a.t).toFixed(4) + ' s; Δvalor = ' + (b.v - a.v).toFixed(1);
  }

  function mostrarMarca() {
    const m = DV.umbrales.marca(ajustes.broker, ajustes.tema);
    $('marca').textContent = m ? m.cuando + ': ' + m.texto : '';
    $('enterado').hidden = !m;
  }

  function alEstado(payload) {
    const e = DV.protocolo.leerEstado(payload);
    if (!e || !e.esEstado) return;
    $('estado').textContent = e.palabra;
    $('estado').className = 'estado ' + CLASES[e.palabra];
  }

  function alMeta(payload) {
    const m = DV.protocolo.leerMeta(payload);
    if (!m) return;
    if (!meta || meta.sesion !== m.sesion) historia.vaciar(); // a new session starts its own time
    meta = m;
    $('dispositivo').textContent = m.dispositivo;
    $('configuracion').textContent = m.configuracion;
  }

  function alResumen(payload) {
    const r = DV.protocolo.leerResumen(payload);
    if (!r || !meta || r.sesion !== meta.sesion) return;
    $('resumen').textContent = 'Último segundo: ' + r.porSegundo + ' muestras/s, mínimo ' + r.minimo +
      ', máximo ' + r.maximo + ', media ' + r.media.toFixed(1);
  }

  function alVista(payload) {
    const vista = DV.protocolo.leerVista(payload);
    if (!vista) { pagina.rechazados++; return; }
    const { lote, envolvente } = vista;
    if (!meta || (lote || envolvente).sesion !== meta.sesion) return; // its time axis is not known yet
    pagina.lotes++;
    let lo = 65535, hi = 0;
    if (lote) {
      if (historia.anadir(lote, meta.inicioNs) === 0) return;
      for (const v of lote.valores) { if (v < lo) lo = v; if (v > hi) hi = v; }
      if (medir) lote.pasos.forEach((p, i) => pendientes.push([p.ns, (lote.pasos[i + 1] || { desde: lote.valores.length }).desde - p.desde]));
    } else {
      if (historia.anadirEnvolvente(envolvente) === 0) return;
      for (const b of envolvente.ms) { if (b.lo < lo) lo = b.lo; if (b.hi > hi) hi = b.hi; }
      // Timed from the end of each millisecond: its samples arrived within it.
      if (medir) for (const b of envolvente.ms) pendientes.push([meta.inicioNs + BigInt(b.ms + 1) * 1000000n, 1]);
    }
    pedirCuadro();
    vigia.ver(lo, hi);
  }

  function alMensaje(topico, payload) {
    const tipo = topico.slice(ajustes.tema.length + 1);
    if (tipo === 'vista') alVista(payload);
    else if (tipo === 'estado') alEstado(payload);
    else if (tipo === 'meta') alMeta(payload);
    else if (tipo === 'resumen') alResumen(payload);
  }

  // The large value and the count, ten times a second: text changed every frame would have the
  // browser lay out and paint it at the screen's rate, which costs more than the trace.
  let cifrasEn = 0;
  let cifrasLuego = null;
  function mostrarCifras() {
    const espera = cifrasEn + 100 - performance.now();
    if (espera > 0) { // shown a moment later, so that the newest always is
      cifrasLuego = cifrasLuego || setTimeout(() => { cifrasLuego = null; mostrarCifras(); }, espera);
      return;
    }
    cifrasEn = performance.now();
    const ultima = historia.ultimo === null ? '' : String(historia.ultimo);
    if ($('ultima').textContent !== ultima) $('ultima').textContent = ultima;
    const recibidas = 'Recibidas ' + historia.total.toLocaleString('es') + ' muestras desde que se abrió la página' +
      (historia.faltan ? '; no llegaron ' + historia.faltan.toLocaleString('es') + ' a esta página' : '');
    if ($('recibidas').textContent !== recibidas) $('recibidas').textContent = recibidas;
  }

  function cuadro() {
    cuadroPedido = false;
    pagina.cuadros++;
    if (medir && dibujadas.length) {
      const ahoraNs = BigInt(Math.round((performance.timeOrigin + performance.now()) * 1000)) * 1000n;
      for (const [ns, n] of dibujadas) pagina.latencias.push([Number(ahoraNs - ns) / 1e6, n]);
      if (pagina.latencias.length > 200000) pagina.latencias.splice(0, 100000);
      dibujadas = [];
    }
    if (traza.cuadro()) {
      if (traza.vivo) { dibujadas = pendientes; pendientes = []; }
      if (!traza.vivo) mostrarModo();
    }
    if (!medir || !traza.vivo) pendientes = [];
    if (dibujadas.length) pedirCuadro(); // the next frame's start times the drawn samples
    mostrarCifras();
  }

  $('ventana').addEventListener('change', () => {
    const s = Number($('ventana').value);
    if (s > 0) traza.ventana(s);
    if (traza.vivo) mostrarModo();
  });
  $('pausa').addEventListener('click', () => (traza.vivo ? traza.pausar() : traza.seguir()));
  const escalar = (f) => { traza.escalar(f); $('ventana').value = String(traza.ancho); mostrarModo(); };
  $('acercar').addEventListener('click', () => escalar(0.5));
  $('alejar').addEventListener('click', () => escalar(2));
  $('atras').addEventListener('click', () => traza.mover(-0.5));
  $('adelante').addEventListener('click', () => traza.mover(0.5));
  $('sin-cursores').addEventListener('click', () => traza.quitarCursores());
  $('umbrales').addEventListener('submit', (e) => {
    e.preventDefault();
    const leer = (n) => (e.target.elements[n].value === '' ? null : Number(e.target.elements[n].value));
    DV.umbrales.guardarUmbrales(ajustes.broker, ajustes.tema, { alto: leer('alto'), bajo: leer('bajo') });
  });
  $('enterado').addEventListener('click', () => {
    DV.umbrales.reconocer(ajustes.broker, ajustes.tema);
    mostrarMarca();
  });
  window.addEventListener('storage', mostrarMarca);
  window.addEventListener('dispvanto-marca', mostrarMarca);

  DV.conexion.formulario($('conexion'), ajustes, 'banco.html', (a, clave) => {
    if (enlace) enlace.terminar();
    meta = null;
    historia.vaciar();
    if (!a.tema || /[#+]/.test(a.tema)) {
      avisar('error', 'Escriba el tema de un banco, sin «+» ni «#»: por ejemplo lab/banco3');
      return;
    }
    $('tema').textContent = a.tema;
    document.title = 'dispVanto: ' + a.tema;
    $('volver').href = DV.conexion.direccionCon('index.html', { broker: a.broker, usuario: a.usuario, prefijo: a.prefijo });
    const u = DV.umbrales.umbrales(a.broker, a.tema);
    $('umbrales').elements.alto.value = u.alto === null ? '' : String(u.alto);
    $('umbrales').elements.bajo.value = u.bajo === null ? '' : String(u.bajo);
    vigia = new DV.umbrales.Vigia(a.broker, a.tema);
    mostrarMarca();
    const temas = ['estado', 'meta', 'resumen', 'vista'].map((t) => a.tema + '/' + t);
    enlace = DV.conexion.conectar(a, clave, temas, alMensaje, avisar);
  });
  mostrarModo();
  pedirCuadro();
})(window.DV);
