'use strict';
// What the benches say on the broker, read back and checked before use, as docs/mqtt.md writes
// it down: the state words, the meta and the summary (JSON), the binary batch and the view's
// envelope. A message
// that does not hold together is refused whole (null), never half believed.
window.DV = window.DV || {};
(function (DV) {
  const ESTADOS = { enLinea: 'en línea', perdido: 'dispositivo perdido', fuera: 'fuera de línea' };
  const LIMITE_INDICE = 2n ** 63n;
  const ULTIMA_HORA_NS = 7258118400000000000n; // 2200-01-01: later arrivals are nonsense
  const TEXTO = new TextDecoder('utf-8', { fatal: true });
  const HOST_LE = new Uint8Array(new Uint16Array([1]).buffer)[0] === 1;

  function texto(bytes) {
    try { return TEXTO.decode(bytes); } catch (e) { return null; }
  }

  // Sessions travel as decimal text: a u64 does not fit a JS number, and only equality matters.
  function sesionDe(jsonTexto) {
    const m = /"sesion"\s*:\s*(\d{1,20})\s*[,}]/.exec(jsonTexto);
    return m && m[1] !== '0' && BigInt(m[1]) < LIMITE_INDICE ? m[1] : null;
  }

  function entero(v) {
    return Number.isInteger(v) && v >= 0 && v < 2 ** 63;
  }

  /// TEMA/estado: {palabra, sesion, perdida (the broker's will), estado (one of the three words)}.
  function leerEstado(bytes) {
    const t = texto(bytes);
    if (t === null) return null;
    const m = /^(.*?) \(sesión (\d{1,20})(, conexión perdida)?(?:, \d+ muestras)?\)$/s.exec(t);
    const palabra = m ? m[1] : t;
    return {
      texto: t,
      palabra,
      sesion: m ? m[2] : null,
      perdida: !!(m && m[3]),
      esEstado: Object.values(ESTADOS).includes(palabra),
    };
  }

  function objetoJson(bytes) {
    const t = texto(bytes);
    if (t === null) return null;
    try {
      const o = JSON.parse(t);
      return o !== null && typeof o === 'object' && !Array.isArray(o) ? { o, t } : null;
    } catch (e) {
      return null;
    }
  }

  function nsEntero(t, clave) {
    const m = new RegExp('"' + clave + '"\\s*:\\s*(-?\\d{1,20})\\s*[,}]').exec(t);
    return m ? BigInt(m[1]) : null;
  }

  /// TEMA/meta: the device, line settings and the clock the batches' times are read against.
  function leerMeta(bytes) {
    const j = objetoJson(bytes);
    if (!j) return null;
    const { o, t } = j;
    const sesion = sesionDe(t);
    const inicioNs = nsEntero(t, 'inicio_unix_ns');
    const ceroNs = nsEntero(t, 'reloj_cero_unix_ns');
    const inicio = Date.parse(o.inicio);
    if (!sesion || inicioNs === null || ceroNs === null || !Number.isFinite(inicio)) return null;
    const anio = new Date(inicio).getUTCFullYear();
    if (anio < 2000 || anio > 2199) return null;
    if (BigInt(Math.round(inicio)) * 1000000n - inicioNs >= 1000000n ||
        inicioNs - BigInt(Math.round(inicio)) * 1000000n >= 1000000n) return null;
    const cadena = (v) => (typeof v === 'string' ? v : '');
    return {
      sesion,
      inicioNs,
      dispositivo: cadena(o.dispositivo),
      configuracion: cadena(o.configuracion),
      puerto: cadena(o.puerto),
      programa: cadena(o.programa),
    };
  }

  /// TEMA/resumen: the last second's figures.
  function leerResumen(bytes) {
    const j = objetoJson(bytes);
    if (!j) return null;
    const { o, t } = j;
    const sesion = sesionDe(t);
    const enteros = ['muestras', 'ultima', 'minimo', 'maximo', 'muestras_segundo'];
    if (!sesion || !enteros.every((k) => entero(o[k])) || typeof o.media !== 'number' || !Number.isFinite(o.media))
      return null;
    return {
      sesion,
      muestras: o.muestras,
      ultima: o.ultima,
      minimo: o.minimo,
      maximo: o.maximo,
      media: o.media,
      porSegundo: o.muestras_segundo,
    };
  }

  // The start both binary messages share: magic, version 1 and the header's size, read and not
  // assumed (a later version may add fields to the header). Null unless it is that message.
  function cabeceraDe(buffer, magia, minima) {
    const bytes = buffer instanceof Uint8Array ? buffer : new Uint8Array(buffer);
    if (bytes.length < minima) return null;
    for (let i = 0; i < 4; i++) if (bytes[i] !== magia.charCodeAt(i)) return null;
    const d = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    const cabecera = d.getUint16(6, true);
    return d.getUint16(4, true) === 1 && cabecera >= minima ? { bytes, d, cabecera } : null;
  }

  /// TEMA/muestras: {sesion, primera (BigInt), valores (Uint16Array), pasos: [{desde, ns (BigInt)}]}.
  /// The header's size is read, not assumed: a later version may add fields before the samples.
  function leerLote(buffer) {
    const c = cabeceraDe(buffer, 'DVMQ', 40);
    if (!c) return null;
    const { bytes, d, cabecera } = c;
    const n = d.getUint32(24, true);
    const m = d.getUint32(28, true);
    if (cabecera + 2 * n + 12 * m !== bytes.length || m >= Math.max(n, 1)) return null;
    const sesion = d.getBigUint64(8, true);
    const primera = d.getBigUint64(16, true);
    const t0 = d.getBigInt64(32, true);
    if (sesion === 0n || primera > LIMITE_INDICE - BigInt(n) || t0 < 0n || t0 >= ULTIMA_HORA_NS) return null;
    // Copied so that the samples are aligned and the message's buffer can go; in one block where
    // the machine is little-endian as the format (every usual browser's).
    const desde = bytes.byteOffset + cabecera;
    let valores;
    if (HOST_LE) {
      valores = new Uint16Array(bytes.buffer.slice(desde, desde + 2 * n));
    } else {
      valores = new Uint16Array(n);
      for (let i = 0; i < n; i++) valores[i] = d.getUint16(cabecera + 2 * i, true);
    }
    const pasos = n > 0 ? [{ desde: 0, ns: t0 }] : [];
    let previo = 0n;
    for (let i = 0, p = cabecera + 2 * n; i < m; i++, p += 12) {
      const desde = d.getUint32(p, true);
      const delta = d.getBigInt64(p + 4, true);
      if (desde <= pasos[pasos.length - 1].desde || desde >= n) return null;
      if (delta <= previo || delta >= ULTIMA_HORA_NS - t0) return null;
      previo = delta;
      pasos.push({ desde, ns: t0 + delta });
    }
    return { sesion: sesion.toString(), primera, valores, pasos };
  }

  /// An envelope on TEMA/vista: {sesion, primera (BigInt), n, ultima, ms: [{ms, lo, hi}]}, the
  /// milliseconds counted from the session's start (inicio_unix_ns).
  function leerEnvolvente(buffer) {
    const c = cabeceraDe(buffer, 'DVEN', 48);
    if (!c) return null;
    const { bytes, d, cabecera } = c;
    const n = d.getUint32(24, true);
    const k = d.getUint32(28, true);
    if (n === 0 || k === 0 || cabecera + 8 * k !== bytes.length) return null;
    const sesion = d.getBigUint64(8, true);
    const primera = d.getBigUint64(16, true);
    const primerMs = d.getBigInt64(32, true);
    // 2^40 ms is 34 years: a session's milliseconds stay far below, and exact as numbers.
    if (sesion === 0n || primera > LIMITE_INDICE - BigInt(n) || primerMs < 0n || primerMs >= 2n ** 40n) return null;
    const base = Number(primerMs);
    const ms = new Array(k);
    for (let i = 0, p = cabecera, previo = -1; i < k; i++, p += 8) {
      const desplazamiento = d.getUint32(p, true);
      const lo = d.getUint16(p + 4, true), hi = d.getUint16(p + 6, true);
      if ((i === 0) !== (desplazamiento === 0) || desplazamiento <= previo || lo > hi) return null;
      previo = desplazamiento;
      ms[i] = { ms: base + desplazamiento, lo, hi };
    }
    return { sesion: sesion.toString(), primera, n, ultima: d.getUint16(40, true), ms };
  }

  /// TEMA/vista: a batch while the bench's samples are few, else an envelope; by its magic.
  function leerVista(buffer) {
    const bytes = buffer instanceof Uint8Array ? buffer : new Uint8Array(buffer);
    if (bytes.length >= 4 && bytes[2] === 0x45) {
      const envolvente = leerEnvolvente(bytes);
      return envolvente && { envolvente };
    }
    const lote = leerLote(bytes);
    return lote && { lote };
  }

  DV.ESTADOS = ESTADOS;
  DV.protocolo = { leerEstado, leerMeta, leerResumen, leerLote, leerEnvolvente, leerVista };
})(window.DV);
