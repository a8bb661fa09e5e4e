// The reference for the throughput benchmark: a `ws` server that pushes the
// same event text N times to the first client that connects, keeping its
// send buffer under 4 MiB.
//   node ws_push_server.js N TEXT   -> prints its port, then "sent N MS"
'use strict';
const WebSocket = require('ws');
const total = parseInt(process.argv[2], 10);
const text = process.argv[3];
const wss = new WebSocket.Server({ host: '127.0.0.1', port: 0, perMessageDeflate: false });
wss.on('listening', () => process.stdout.write(wss.address().port + '\n'));
wss.once('connection', (ws) => {
  let sent = 0;
  const start = process.hrtime.bigint();
  const pump = () => {
    while (sent < total && ws.bufferedAmount < 4 * 1024 * 1024) {
      ws.send(text);
      ++sent;
    }
    if (sent < total) {
      setImmediate(pump);
    } else {
      const ms = Number(process.hrtime.bigint() - start) / 1e6;
      process.stdout.write('sent ' + total + ' ' + ms.toFixed(1) + '\n');
    }
  };
  pump();
});
process.on('SIGTERM', () => process.exit(0));
