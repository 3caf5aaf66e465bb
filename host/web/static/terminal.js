// The browser side of the web terminal: xterm.js on a WebSocket to the host
// that served this page ("ws" beside the page, so it works behind a reverse
// proxy that serves the page under a path too).
//
// To the host: typed input as binary messages of UTF-8; the window size as
// the control message FF 53 CC CC RR RR (0xFF, 'S', columns and rows in 16
// bits each, most significant byte first) once connected and on every
// resize. From the host: terminal output as binary messages of bytes
// (UTF-8 text with ANSI sequences; a text message is written as it is).
// After a disconnect the page waits for Enter before it connects again; it
// never reconnects on its own.
(function () {
  'use strict';
  var term = new Xterm.Terminal({ cursorBlink: true, scrollback: 1000 });
  term.open(document.getElementById('terminal'));
  Xterm.fit.fit(term);
  term.focus();
  // For the console and the page's browser test: the terminal and its screen.
  window.terminal = term;

  var encoder = new TextEncoder();
  var socket = null;   // the WebSocket while connecting or connected
  var decoder = null;  // UTF-8 of the current connection, across messages

  function socketUrl() {
    var url = new URL('ws', window.location.href);
    url.protocol = url.protocol === 'https:' ? 'wss:' : 'ws:';
    url.search = '';
    url.hash = '';
    return url.href;
  }

  function sendSize() {
    if (!socket || socket.readyState !== WebSocket.OPEN) return;
    socket.send(new Uint8Array([0xff, 0x53, term.cols >> 8, term.cols & 0xff, term.rows >> 8, term.rows & 0xff]));
  }

  function connect() {
    var ws = new WebSocket(socketUrl());
    ws.binaryType = 'arraybuffer';
    socket = ws;
    decoder = new TextDecoder('utf-8');
    ws.onopen = sendSize;
    ws.onmessage = function (event) {
      if (typeof event.data === 'string') term.write(event.data);
      else term.write(decoder.decode(new Uint8Array(event.data), { stream: true }));
    };
    ws.onclose = function () {
      if (socket !== ws) return;
      socket = null;
      var rest = decoder.decode();
      if (rest) term.write(rest);
      term.write('\r\n\x1b[0mDisconnected. Press Enter to reconnect.\r\n');
    };
  }

  term.on('data', function (data) {
    if (socket) {
      if (socket.readyState === WebSocket.OPEN) socket.send(encoder.encode(data));
    } else if (data === '\r') {
      connect();
    }
  });
  term.on('resize', sendSize);
  window.addEventListener('resize', function () { Xterm.fit.fit(term); });
  connect();
})();
