'use strict';
// The bench's trace: the minimum … maximum of each pixel column over the time shown, drawn by
// uPlot as a band, so that any rate draws in the same time per frame. Live, the view follows the
// newest sample over the last N seconds; paused (or zoomed, or moved) it holds a fixed span of the
// last 10 minutes, redrawn only when the user changes it. Two cursors read Δt and Δvalor.
window.DV = window.DV || {};
(function (DV) {
  const ALTO = 320;

  class Traza {
    constructor(contenedor, historia, alCambiar, pedirCuadro) {
      this.historia = historia;
      this.alCambiar = alCambiar; // the mode or the cursors changed: the page updates its texts
      this.pedirCuadro = pedirCuadro; // something to draw: the page asks the browser for a frame
      this.vivo = true;
      this.ancho = 10;
      this.t0 = 0;
      this.t1 = 10;
      this.cursores = [];
      this.proximo = 0;
      this.dibujado = -1; // the history's total at the last live drawing
      this.sucio = true;
      this.u = new uPlot(this._opciones(contenedor.clientWidth || 800), [[], [], []], contenedor);
      this._raton(this.u.over);
      window.addEventListener('resize', () => {
        this.u.setSize({ width: contenedor.clientWidth || 800, height: ALTO });
        this._ensuciar();
      });
    }

    _opciones(ancho) {
      const rojo = '#c01e1e';
      return {
        width: ancho,
        height: ALTO,
        scales: { x: { time: false, auto: false }, y: { auto: false } },
        axes: [{ label: 'tiempo_s del banco (s)' }, { label: 'valor', size: 60 }],
        series: [
          { label: 'tiempo_s' },
          // A bench reads its port in blocks that share one arrival time, so at high rates some
          // columns hold no sample though none is missing: the band is joined across them.
          { label: 'mínimo', stroke: rojo, width: 1, points: { show: false }, spanGaps: true },
          { label: 'máximo', stroke: rojo, width: 1, points: { show: false }, spanGaps: true },
        ],
        bands: [{ series: [2, 1], fill: 'rgba(192, 30, 30, 0.35)' }],
        legend: { show: false },
        cursor: { drag: { x: true, y: false, setScale: false }, points: { show: false } },
        hooks: {
          setSelect: [(u) => this._seleccion(u)],
          draw: [(u) => this._dibujarCursores(u)],
        },
      };
    }

    // A click places a cursor (A, then B, then A again); a drag across the trace zooms into it.
    _raton(sobre) {
      let abajo = null;
      sobre.addEventListener('mousedown', (e) => { abajo = [e.clientX, e.clientY]; });
      sobre.addEventListener('mouseup', (e) => {
        if (!abajo || Math.hypot(e.clientX - abajo[0], e.clientY - abajo[1]) > 3) return;
        const t = this.u.posToVal(e.offsetX, 'x'), v = this.u.posToVal(e.offsetY, 'y');
        this.cursores[this.proximo] = { t, v };
        this.proximo = 1 - this.proximo;
        this.u.redraw(false);
        this.alCambiar();
      });
    }

    _seleccion(u) {
      if (u.select.width > 3) this.fijar(u.posToVal(u.select.left, 'x'), u.posToVal(u.select.left + u.select.width, 'x'));
      u.setSelect({ left: 0, top: 0, width: 0, height: 0 }, false);
    }

    _dibujarCursores(u) {
      const c = u.ctx;
      c.save();
      c.setLineDash([5, 4]);
      c.strokeStyle = '#1f4fb0';
      c.fillStyle = '#1f4fb0';
      c.font = `${12 * devicePixelRatio}px sans-serif`;
      const { left, top, width, height } = u.bbox;
      this.cursores.forEach((k, i) => {
        const x = u.valToPos(k.t, 'x', true), y = u.valToPos(k.v, 'y', true);
        c.beginPath();
        if (x >= left && x <= left + width) { c.moveTo(x, top); c.lineTo(x, top + height); }
        if (y >= top && y <= top + height) { c.moveTo(left, y); c.lineTo(left + width, y); }
        c.stroke();
        c.fillText(i ? 'B' : 'A', x + 3, top + 14 * devicePixelRatio);
      });
      c.restore();
    }

    quitarCursores() {
      this.cursores = [];
      this.proximo = 0;
      this.u.redraw(false);
      this.alCambiar();
    }

    ventana(segundos) {
      this.ancho = Math.min(Math.max(segundos, 0.01), DV.VENTANA_MAX_S);
      this._ensuciar();
    }

    /// Holds [t0, t1] (within the last 10 minutes) and stops following.
    fijar(t0, t1) {
      const alcance = this.historia.alcance;
      let ancho = Math.min(Math.max(t1 - t0, 0.001), DV.VENTANA_MAX_S);
      if (alcance) {
        t1 = Math.min(t0 + ancho, alcance.hasta);
        t0 = Math.max(t1 - ancho, alcance.desde);
        t1 = t0 + ancho;
      }
      [this.t0, this.t1, this.vivo] = [t0, t1, false];
      this._ensuciar();
      this.alCambiar();
    }

    /// Stops following; what is on screen stays exactly as drawn.
    pausar() {
      this.vivo = false;
      this.alCambiar();
    }

    seguir() {
      this.vivo = true;
      this._ensuciar();
      this.alCambiar();
    }

    /// factor < 1 zooms in; live, it changes the window followed, paused it zooms about the centre.
    escalar(factor) {
      if (this.vivo) return this.ventana(this.ancho * factor);
      const centro = (this.t0 + this.t1) / 2, medio = ((this.t1 - this.t0) * factor) / 2;
      this.fijar(centro - medio, centro + medio);
    }

    /// Moves the span by a fraction of its width (negative: back in time).
    mover(fraccion) {
      const d = (this.t1 - this.t0) * fraccion;
      this.fijar(this.t0 + d, this.t1 + d);
    }

    _ensuciar() {
      this.sucio = true;
      this.pedirCuadro();
    }

    /// Called in an animation frame; true when it drew.
    cuadro() {
      const h = this.historia;
      if (this.vivo && h.total !== this.dibujado) {
        this.t1 = h.tUltimo;
        this.t0 = this.t1 - this.ancho;
        this.dibujado = h.total;
        this.sucio = true;
      }
      if (!this.sucio) return false;
      this.sucio = false;
      this._dibujar();
      return true;
    }

    _dibujar() {
      const columnas = Math.max(1, Math.round(this.u.bbox.width / devicePixelRatio));
      const e = this.historia.envolvente(this.t0, this.t1, columnas);
      let lo = Infinity, hi = -Infinity;
      for (let c = 0; c < columnas; c++) {
        if (e.lo[c] !== null && e.lo[c] < lo) lo = e.lo[c];
        if (e.hi[c] !== null && e.hi[c] > hi) hi = e.hi[c];
      }
      if (lo > hi) [lo, hi] = [0, 65535];
      const margen = Math.max((hi - lo) * 0.05, 1);
      this.u.batch(() => {
        this.u.setData([e.x, e.lo, e.hi], false);
        this.u.setScale('x', { min: this.t0, max: this.t1 });
        this.u.setScale('y', { min: lo - margen, max: hi + margen });
      });
    }
  }

  DV.Traza = Traza;
})(window.DV);
