'use strict';
// A high and a low threshold per bench, and the mark a crossing leaves, both in this browser's
// localStorage: the bench page and the overview (other tabs included) see the same ones. A mark
// stays until the user acknowledges it.
window.DV = window.DV || {};
(function (DV) {
  const clave = (tipo, broker, tema) => 'dispvanto.' + tipo + '|' + broker + '|' + tema;

  function leer(k) {
    try {
      return JSON.parse(localStorage.getItem(k) || 'null');
    } catch (e) {
      return null;
    }
  }

  function numero(v) {
    return typeof v === 'number' && Number.isFinite(v) ? v : null;
  }

  function umbrales(broker, tema) {
    const u = leer(clave('umbrales', broker, tema)) || {};
    return { alto: numero(u.alto), bajo: numero(u.bajo) };
  }

  function guardarUmbrales(broker, tema, u) {
    localStorage.setItem(clave('umbrales', broker, tema), JSON.stringify({ alto: numero(u.alto), bajo: numero(u.bajo) }));
  }

  function marca(broker, tema) {
    const m = leer(clave('marca', broker, tema));
    return m && typeof m.texto === 'string' ? m : null;
  }

  function reconocer(broker, tema) {
    localStorage.removeItem(clave('marca', broker, tema));
  }

  /// Watches one bench's values against its thresholds. A crossing is a step from inside to
  /// outside (the first values seen count as one when already outside): a bench that stays
  /// beyond a threshold is marked once, not again the moment the mark is acknowledged.
  class Vigia {
    constructor(broker, tema) {
      this.broker = broker;
      this.tema = tema;
      this.fuera = false;
    }

    /// lo, hi: the extremes of the values just received.
    ver(lo, hi) {
      const u = umbrales(this.broker, this.tema);
      let texto = null;
      if (u.alto !== null && hi > u.alto) texto = 'superó el umbral alto ' + u.alto + ' (' + hi + ')';
      else if (u.bajo !== null && lo < u.bajo) texto = 'bajó del umbral bajo ' + u.bajo + ' (' + lo + ')';
      const antes = this.fuera;
      this.fuera = texto !== null;
      if (!texto || antes || marca(this.broker, this.tema)) return;
      const m = { texto, cuando: new Date().toLocaleTimeString('es') };
      localStorage.setItem(clave('marca', this.broker, this.tema), JSON.stringify(m));
      window.dispatchEvent(new Event('dispvanto-marca')); // the storage event reaches other tabs only
    }
  }

  DV.umbrales = { umbrales, guardarUmbrales, marca, reconocer, Vigia };
})(window.DV);
