'use strict';
// The overview: one row per bench under the prefix, made when the bench is first heard of
// (its retained state and meta arrive at once, its summary every second). It reads no batches,
// so one phone can watch many fast benches. Everything received is put in as text.
(function (DV) {
  const HISTORIA_S = 60; // seconds of summaries in the small trace
  const ajustes = DV.conexion.ajustesDeDireccion({ prefijo: 'lab/+' });
  const cuerpo = document.querySelector('#bancos tbody');
  const avisar = DV.conexion.avisador(document.getElementById('estado-conexion'));
  const filas = new Map();
  let enlace = null;

  const CLASES = {
    [DV.ESTADOS.enLinea]: 'estado-en-linea',
    [DV.ESTADOS.perdido]: 'estado-perdido',
    [DV.ESTADOS.fuera]: 'estado-fuera',
  };

  function celda(tr, clase) {
    const td = document.createElement('td');
    td.className = clase;
    tr.appendChild(td);
    return td;
  }

  function nuevaFila(tema) {
    const tr = document.createElement('tr');
    tr.dataset.tema = tema;
    const f = { tr, resumenes: [], vigia: new DV.umbrales.Vigia(ajustes.broker, tema) };
    const enlaceBanco = document.createElement('a');
    enlaceBanco.textContent = tema;
    enlaceBanco.href = DV.conexion.direccionCon('banco.html', {
      broker: ajustes.broker, usuario: ajustes.usuario, tema, prefijo: ajustes.prefijo });
    celda(tr, 'tema').appendChild(enlaceBanco);
    for (const c of ['estado', 'ultima', 'ritmo', 'minimo', 'maximo', 'media', 'dispositivo', 'configuracion'])
      f[c] = celda(tr, c);
    f.lienzo = document.createElement('canvas');
    f.lienzo.width = 160;
    f.lienzo.height = 32;
    celda(tr, 'traza').appendChild(f.lienzo);
    f.aviso = celda(tr, 'aviso');
    // Rows in topic order, wherever a new bench falls.
    const siguiente = [...filas.keys()].sort().find((t) => t > tema);
    cuerpo.insertBefore(tr, siguiente ? filas.get(siguiente).tr : null);
    filas.set(tema, f);
    document.getElementById('sin-bancos').hidden = true;
    mostrarMarca(tema, f);
    return f;
  }

  function fila(tema) {
    return filas.get(tema) || nuevaFila(tema);
  }

  function mostrarEstado(f, e) {
    if (!e.esEstado) return; // a notice of losses: the state stays what it was
    f.estado.textContent = e.palabra;
    f.estado.className = 'estado ' + CLASES[e.palabra];
    f.sesionEstado = e.sesion;
  }

  function mostrarResumen(f, r) {
    f.ultima.textContent = String(r.ultima);
    f.ritmo.textContent = String(r.porSegundo);
    f.minimo.textContent = String(r.minimo);
    f.maximo.textContent = String(r.maximo);
    f.media.textContent = r.media.toFixed(1);
    f.resumenes.push(r);
    if (f.resumenes.length > HISTORIA_S) f.resumenes.shift();
    dibujarTraza(f);
    if (r.porSegundo > 0) f.vigia.ver(r.minimo, r.maximo);
  }

  // The last minute of summaries (fewer while there are fewer): each second's minimum … maximum
  // as a band, its mean as a line.
  function dibujarTraza(f) {
    const c = f.lienzo.getContext('2d');
    const { width: w, height: h } = f.lienzo;
    c.clearRect(0, 0, w, h);
    const rs = f.resumenes.filter((r) => r.porSegundo > 0);
    if (rs.length === 0) return;
    const lo = Math.min(...rs.map((r) => r.minimo)), hi = Math.max(...rs.map((r) => r.maximo));
    const y = (v) => h - 1 - ((v - lo) / Math.max(hi - lo, 1)) * (h - 2);
    // The span grows with the summaries up to the minute, so that a bench just started shows.
    const paso = w / Math.min(HISTORIA_S, Math.max(rs.length, 10));
    const x0 = w - rs.length * paso;
    c.fillStyle = 'rgba(200, 30, 30, 0.3)';
    rs.forEach((r, i) => c.fillRect(x0 + i * paso, y(r.maximo), Math.max(paso - 0.5, 1), y(r.minimo) - y(r.maximo) + 1));
    c.strokeStyle = '#c01e1e';
    c.beginPath();
    rs.forEach((r, i) => c[i ? 'lineTo' : 'moveTo'](x0 + (i + 0.5) * paso, y(r.media)));
    c.stroke();
  }

  function mostrarMarca(tema, f) {
    const m = DV.umbrales.marca(ajustes.broker, tema);
    f.tr.classList.toggle('marcado', !!m);
    f.aviso.replaceChildren();
    if (!m) return;
    const texto = document.createElement('span');
    texto.textContent = m.cuando + ': ' + m.texto + ' ';
    const boton = document.createElement('button');
    boton.type = 'button';
    boton.textContent = 'Enterado';
    boton.addEventListener('click', () => {
      DV.umbrales.reconocer(ajustes.broker, tema);
      mostrarMarca(tema, f);
    });
    f.aviso.append(texto, boton);
  }

  function alMensaje(topico, payload) {
    const corte = topico.lastIndexOf('/');
    const tema = topico.slice(0, corte), tipo = topico.slice(corte + 1);
    if (tipo === 'estado') {
      const e = DV.protocolo.leerEstado(payload);
      if (e) mostrarEstado(fila(tema), e);
    } else if (tipo === 'meta') {
      const m = DV.protocolo.leerMeta(payload);
      if (!m) return;
      const f = fila(tema);
      f.dispositivo.textContent = m.dispositivo;
      f.configuracion.textContent = m.configuracion;
    } else if (tipo === 'resumen') {
      const r = DV.protocolo.leerResumen(payload);
      if (r) mostrarResumen(fila(tema), r);
    }
  }

  const refrescarMarcas = () => filas.forEach((f, tema) => mostrarMarca(tema, f));
  window.addEventListener('storage', refrescarMarcas);
  window.addEventListener('dispvanto-marca', refrescarMarcas);

  DV.conexion.formulario(document.getElementById('conexion'), ajustes, 'index.html', (a, clave) => {
    if (enlace) enlace.terminar();
    filas.forEach((f) => f.tr.remove());
    filas.clear();
    document.getElementById('sin-bancos').hidden = false;
    if (!a.prefijo || a.prefijo.includes('#')) {
      avisar('error', 'El prefijo no puede estar vacío ni llevar «#»: por ejemplo lab/+');
      return;
    }
    const temas = ['estado', 'meta', 'resumen'].map((t) => a.prefijo + '/' + t);
    enlace = DV.conexion.conectar(a, clave, temas, alMensaje, avisar);
  });
})(window.DV);
