'use strict';
// Where the page connects and as whom: the broker, the prefix or topic and the user come from the
// page's address or the form; the password only from the form. It is kept in this tab's
// sessionStorage so that going from the overview to a bench does not ask again, and it is
// never written into an address. The client only subscribes: nothing here publishes.
window.DV = window.DV || {};
(function (DV) {
  const CLAVE_SESION = 'dispvanto.clave';

  // The broker serves the page on its websockets listener, so by default it is the page's host.
  function brokerPorDefecto() {
    return location.host || 'localhost:9001';
  }

  /// The settings in the address; a password put there by hand is taken out and not used.
  function ajustesDeDireccion(campos) {
    const q = new URLSearchParams(location.search);
    if (q.has('clave') || q.has('password')) {
      q.delete('clave');
      q.delete('password');
      history.replaceState(null, '', location.pathname + (q.toString() ? '?' + q : ''));
    }
    const a = { broker: q.get('broker') || brokerPorDefecto(), usuario: q.get('usuario') || '' };
    for (const [campo, defecto] of Object.entries(campos)) a[campo] = q.get(campo) || defecto;
    return a;
  }

  function direccionCon(pagina, ajustes) {
    const q = new URLSearchParams();
    for (const [k, v] of Object.entries(ajustes)) if (v) q.set(k, v);
    return pagina + '?' + q.toString();
  }

  function urlDelBroker(broker) {
    // A page served over https may only open wss://, and the broker then has a certificate.
    const esquema = location.protocol === 'https:' ? 'wss' : 'ws';
    return esquema + '://' + broker + '/mqtt';
  }

  function claveGuardada(ajustes) {
    try {
      const g = JSON.parse(sessionStorage.getItem(CLAVE_SESION) || 'null');
      return g && g.broker === ajustes.broker && g.usuario === ajustes.usuario ? g.clave : null;
    } catch (e) {
      return null;
    }
  }

  function guardarClave(ajustes, clave) {
    sessionStorage.setItem(CLAVE_SESION, JSON.stringify({ broker: ajustes.broker, usuario: ajustes.usuario, clave }));
  }

  // Mosquitto answers a wrong password with "not authorised" under MQTT 3.1.1, so both refusals
  // name the password.
  const RECHAZO = 'El broker rechazó el usuario o la contraseña.';
  const RECHAZOS = { 4: RECHAZO, 5: RECHAZO, 134: RECHAZO, 135: RECHAZO };

  /// Connects and subscribes to `temas`; avisar(clase, texto) tells the page how the link is.
  /// Returns an object with terminar().
  function conectar(ajustes, clave, temas, alMensaje, avisar) {
    const url = urlDelBroker(ajustes.broker);
    avisar('conectando', 'Conectando con ' + url + '…');
    const cliente = mqtt.connect(url, {
      username: ajustes.usuario || undefined,
      password: clave || undefined,
      protocolVersion: 4,
      clean: true,
      clientId: 'dvweb-' + Math.random().toString(16).slice(2, 14),
      reconnectPeriod: 2000,
      connectTimeout: 10000,
      resubscribe: true,
    });
    let rechazado = false;
    cliente.on('connect', () => {
      cliente.subscribe(temas, { qos: 0 }, (err, concedidas) => {
        if (err || (concedidas || []).some((c) => c.qos === 128))
          avisar('error', 'El broker no deja leer ' + temas.join(', ') + ' a este usuario.');
      });
      avisar('conectado', 'Conectado a ' + url + (ajustes.usuario ? ' como ' + ajustes.usuario : '') + '.');
    });
    cliente.on('message', alMensaje);
    cliente.on('error', (err) => {
      const texto = err && RECHAZOS[err.code];
      if (texto) {
        rechazado = true;
        avisar('rechazado', texto);
        cliente.end(true); // the same password would be refused again
      } else {
        avisar('error', 'Fallo de la conexión con ' + url + ': ' + ((err && err.message) || 'desconocido') + '.');
      }
    });
    cliente.on('offline', () => {
      if (!rechazado) avisar('sin-conexion', 'Sin conexión con ' + url + '; se reintenta cada 2 s.');
    });
    return { terminar: () => cliente.end(true) };
  }

  /// Wires the connection form: fills it from the settings, connects on submit and once at load
  /// when this tab already knows the password.
  function formulario(form, ajustes, pagina, alConectar) {
    for (const [k, v] of Object.entries(ajustes)) if (form.elements[k]) form.elements[k].value = v;
    const iniciar = (clave) => {
      for (const k of Object.keys(ajustes)) if (form.elements[k]) ajustes[k] = form.elements[k].value.trim();
      history.replaceState(null, '', direccionCon(pagina, ajustes));
      guardarClave(ajustes, clave);
      alConectar(ajustes, clave);
    };
    form.addEventListener('submit', (e) => {
      e.preventDefault();
      const clave = form.elements.clave.value;
      form.elements.clave.value = '';
      iniciar(clave);
    });
    const g = claveGuardada(ajustes);
    if (g !== null) iniciar(g);
  }

  /// Shows the link's state in a status element, coloured by its class.
  function avisador(elemento) {
    return (clase, texto) => {
      elemento.className = 'conexion-' + clase;
      elemento.textContent = texto;
    };
  }

  DV.conexion = { ajustesDeDireccion, direccionCon, conectar, formulario, avisador };
})(window.DV);
