'use strict';
// What one bench page keeps of the last 10 minutes, at a fixed size whatever the bench's rate:
// every sample of the most recent ones sent whole (a ring of CRUDAS), and for all 10 minutes the
// minimum and maximum of each millisecond (a ring of CUBETAS), which is all a fast bench sends. 1 M samples at 10 bytes plus 600 000
// milliseconds at 8 bytes: about 15 MB, allocated once. Times are the bench's tiempo_s.
window.DV = window.DV || {};
(function (DV) {
  const CRUDAS = 1 << 20;
  const CUBETA_S = 0.001;
  const CUBETAS = 600000; // 10 minutes of milliseconds
  const VENTANA_MAX_S = CUBETAS * CUBETA_S;

  class Historia {
    constructor() {
      this.valores = new Uint16Array(CRUDAS);
      this.tiempos = new Float64Array(CRUDAS);
      this.minimos = new Uint16Array(CUBETAS);
      this.maximos = new Uint16Array(CUBETAS);
      this.duenas = new Float64Array(CUBETAS).fill(-1); // which millisecond a slot holds now
      this.vaciar();
    }

    vaciar() {
      this.total = 0; // samples received since the session began
      this.escritas = 0; // samples written whole into the ring since an envelope last came
      this.siguiente = -1n; // the index after the newest sample kept
      this.faltan = 0; // samples skipped over by a later batch: never delivered to this page
      this.ultimo = null;
      this.tUltimo = 0;
      this.tPrimero = null;
      this.duenas.fill(-1);
    }

    /// Adds a checked batch; t0Ns is the session's inicio_unix_ns. Samples already kept (a batch
    /// heard twice) are passed over; a gap is counted and left a gap (the page never asks again).
    anadir(lote, t0Ns) {
      const n = lote.valores.length;
      if (n === 0) return 0;
      let salto = 0;
      if (lote.primera < this.siguiente) {
        if (lote.primera + BigInt(n) <= this.siguiente) return 0;
        salto = Number(this.siguiente - lote.primera);
      } else if (this.siguiente >= 0n && lote.primera > this.siguiente) {
        this.faltan += Number(lote.primera - this.siguiente);
      }
      const pasos = lote.pasos;
      let p = 0;
      while (p + 1 < pasos.length && pasos[p + 1].desde <= salto) p++;
      for (; p < pasos.length; p++) {
        const desde = Math.max(pasos[p].desde, salto);
        const hasta = p + 1 < pasos.length ? pasos[p + 1].desde : n;
        const t = Number(pasos[p].ns - t0Ns) / 1e9;
        if (t < this.tUltimo && this.total > 0) continue; // time does not run back within a session
        this._tramo(lote.valores, desde, hasta, t);
      }
      this.siguiente = lote.primera + BigInt(n);
      return n - salto;
    }

    // Samples desde … hasta−1 arrived together at t.
    _tramo(valores, desde, hasta, t) {
      const k = Math.floor(t / CUBETA_S);
      const slot = k % CUBETAS;
      let lo, hi;
      if (this.duenas[slot] === k) {
        lo = this.minimos[slot];
        hi = this.maximos[slot];
      } else {
        lo = 65535;
        hi = 0;
        this.duenas[slot] = k;
      }
      let j = this.escritas % CRUDAS;
      for (let i = desde; i < hasta; i++) {
        const v = valores[i];
        if (v < lo) lo = v;
        if (v > hi) hi = v;
        this.valores[j] = v;
        this.tiempos[j] = t;
        if (++j === CRUDAS) j = 0;
      }
      this.minimos[slot] = lo;
      this.maximos[slot] = hi;
      this.total += hasta - desde;
      this.escritas += hasta - desde;
      this.ultimo = valores[hasta - 1];
      this.tUltimo = t;
      if (this.tPrimero === null) this.tPrimero = t;
    }

    /// Adds a checked envelope: each millisecond's minimum and maximum. An envelope heard twice
    /// is passed over; a gap is counted as for batches. The samples kept whole before it no
    /// longer reach the newest, so the ring starts anew.
    anadirEnvolvente(env) {
      if (env.primera + BigInt(env.n) <= this.siguiente) return 0;
      if (this.siguiente >= 0n && env.primera > this.siguiente) this.faltan += Number(env.primera - this.siguiente);
      const nuevas = this.siguiente > env.primera ? Number(env.primera + BigInt(env.n) - this.siguiente) : env.n;
      this.escritas = 0;
      const desde = this.total > 0 ? Math.floor(this.tUltimo / CUBETA_S + 1e-9) : -1;
      for (const b of env.ms) {
        if (b.ms < desde) continue; // time does not run back within a session
        this._cubeta(b.ms, b.lo, b.hi);
        this.tUltimo = b.ms * CUBETA_S;
        if (this.tPrimero === null) this.tPrimero = this.tUltimo;
      }
      this.total += nuevas;
      this.ultimo = env.ultima;
      this.siguiente = env.primera + BigInt(env.n);
      return nuevas;
    }

    _cubeta(k, lo, hi) {
      const slot = k % CUBETAS;
      if (this.duenas[slot] === k) {
        if (this.minimos[slot] < lo) lo = this.minimos[slot];
        if (this.maximos[slot] > hi) hi = this.maximos[slot];
      }
      this.duenas[slot] = k;
      this.minimos[slot] = lo;
      this.maximos[slot] = hi;
    }

    /// Oldest time the ring of every sample still covers.
    get tCrudoDesde() {
      if (this.escritas === 0) return Infinity;
      return this.tiempos[this.escritas > CRUDAS ? this.escritas % CRUDAS : 0];
    }

    /// The time span zoom and pan may show: at most the last 10 minutes.
    get alcance() {
      if (this.tPrimero === null) return null;
      return { desde: Math.max(this.tPrimero, this.tUltimo - VENTANA_MAX_S + CUBETA_S), hasta: this.tUltimo };
    }

    /// The minimum and maximum of each of `columnas` equal slices of [t0, t1): x (slice centre),
    /// min, max; null where no sample fell. From every sample when a slice is shorter than a
    /// millisecond and the samples are still kept, else from the milliseconds' extremes.
    envolvente(t0, t1, columnas) {
      const x = new Array(columnas), lo = new Array(columnas).fill(null), hi = new Array(columnas).fill(null);
      const ancho = (t1 - t0) / columnas;
      for (let c = 0; c < columnas; c++) x[c] = t0 + (c + 0.5) * ancho;
      if (this.total === 0 || !(ancho > 0)) return { x, lo, hi };
      const crudoDesde = this.tCrudoDesde;
      const porCubetas = ancho >= CUBETA_S ? t1 : Math.min(t1, crudoDesde);
      if (porCubetas > t0) this._deCubetas(t0, porCubetas, t0, ancho, lo, hi);
      if (porCubetas < t1) this._deCrudas(Math.max(t0, porCubetas), t1, t0, ancho, lo, hi);
      return { x, lo, hi };
    }

    _deCubetas(desde, hasta, t0, ancho, lo, hi) {
      const primera = Math.max(Math.floor(desde / CUBETA_S), Math.floor(this.tUltimo / CUBETA_S) - CUBETAS + 1);
      const ultima = Math.floor(hasta / CUBETA_S);
      const columnas = lo.length;
      for (let k = primera; k <= ultima; k++) {
        const slot = k % CUBETAS;
        if (this.duenas[slot] !== k) continue;
        const c = Math.min(Math.floor((k * CUBETA_S - t0) / ancho), columnas - 1); // the newest, at t1, is drawn
        if (c < 0) continue;
        const a = this.minimos[slot], b = this.maximos[slot];
        if (lo[c] === null || a < lo[c]) lo[c] = a;
        if (hi[c] === null || b > hi[c]) hi[c] = b;
      }
    }

    _deCrudas(desde, hasta, t0, ancho, lo, hi) {
      const guardadas = Math.min(this.escritas, CRUDAS);
      const base = this.escritas - guardadas;
      // First kept sample at or after `desde`: times rise along the ring.
      let a = 0, b = guardadas;
      while (a < b) {
        const mitad = (a + b) >> 1;
        if (this.tiempos[(base + mitad) % CRUDAS] < desde) a = mitad + 1;
        else b = mitad;
      }
      const columnas = lo.length;
      for (let i = a; i < guardadas; i++) {
        const j = (base + i) % CRUDAS;
        const t = this.tiempos[j];
        if (t > hasta) break;
        const c = Math.min(Math.floor((t - t0) / ancho), columnas - 1); // the newest, at t1, is drawn
        if (c < 0 || c >= columnas) continue;
        const v = this.valores[j];
        if (lo[c] === null || v < lo[c]) lo[c] = v;
        if (hi[c] === null || v > hi[c]) hi[c] = v;
      }
    }
  }

  DV.Historia = Historia;
  DV.VENTANA_MAX_S = VENTANA_MAX_S;
})(window.DV);
