// A WebSocket consumer peer for tests, written with the `ws` package.
//
//   node ws_peer.js control
//     Listens on a control port on 127.0.0.1 and prints it as its ready line.
//     Commands arrive on the control connection one a line; each gets one
//     answer line:
//       open NAME URL           -> opened NAME | error NAME TEXT
//       send NAME TEXT          -> sent NAME
//       sendbin NAME SIZE       -> sent NAME          (SIZE zero bytes, binary)
//       sendfrag NAME N TEXT    -> sent NAME          (TEXT's UTF-8 bytes as one text
//                                                       message in N fragments, cuts
//                                                       falling anywhere, even inside
//                                                       a character)
//       sendunmasked NAME TEXT  -> sent NAME          (a text frame without a mask,
//                                                       which a client must never send)
//       ping NAME PAYLOAD       -> pong NAME PAYLOAD  (once the pong arrives)
//       close NAME              -> closed NAME CODE   (after the close handshake)
//       closewith NAME CODE REASON -> closed NAME CODE REASON (the server's answer)
//       state NAME              -> state NAME open|closed CODE
//       count NAME              -> count NAME N
//       wait NAME N TIMEOUT_MS  -> count NAME M        (once M >= N, or at the timeout)
//       messages NAME           -> messages NAME JSON  (array of the texts received)
//       churn N URL             -> churned N           (N clients open and leave,
//                                                       every other one without a close frame)
//   node ws_peer.js consume URL
//     Connects, prints "open" as its ready line, then every text message it
//     receives as one line (JSON.stringify of the text).
'use strict';
const net = require('net');
const WebSocket = require('ws');

const mode = process.argv[2];

if (mode === 'consume') {
  const ws = new WebSocket(process.argv[3]);
  ws.on('open', () => process.stdout.write('open\n'));
  ws.on('message', (data, isBinary) => {
    if (!isBinary) process.stdout.write(JSON.stringify(data.toString('utf8')) + '\n');
  });
  ws.on('close', () => process.exit(0));
  ws.on('error', (e) => {
    process.stderr.write('ws_peer consume: ' + e.message + '\n');
    process.exit(1);
  });
  process.on('SIGTERM', () => process.exit(0));
} else if (mode === 'control') {
  const clients = new Map();  // name -> {ws, messages, closeCode, waiters}

  function open(name, url, reply) {
    const c = { ws: new WebSocket(url), messages: [], closeCode: null, waiters: [] };
    clients.set(name, c);
    let answered = false;
    c.ws.on('open', () => { answered = true; reply('opened ' + name); });
    c.ws.on('message', (data, isBinary) => {
      c.messages.push(isBinary ? '<binary>' : data.toString('utf8'));
      c.waiters = c.waiters.filter((w) => !w());
    });
    c.ws.on('close', (code) => {
      c.closeCode = code;
      c.waiters = c.waiters.filter((w) => !w());
    });
    c.ws.on('error', (e) => {
      if (!answered) { answered = true; reply('error ' + name + ' ' + e.message); }
    });
  }

  function churn(n, url, reply) {
    let left = n;
    const done = () => { if (--left === 0) reply('churned ' + n); };
    for (let i = 0; i < n; ++i) {
      const ws = new WebSocket(url);
      let finished = false;
      const finish = () => { if (!finished) { finished = true; done(); } };
      ws.on('open', () => {
        if (i % 2 === 0) ws.close(1000); else ws.terminate();
      });
      ws.on('close', finish);
      ws.on('error', finish);
    }
  }

  function handle(line, reply) {
    const parts = line.split(' ');
    const cmd = parts[0];
    const name = parts[1];
    const c = clients.get(name);
    switch (cmd) {
      case 'open': return open(name, parts[2], reply);
      case 'churn': return churn(parseInt(parts[1], 10), parts[2], reply);
      case 'send': c.ws.send(parts.slice(2).join(' ')); return reply('sent ' + name);
      case 'sendbin': c.ws.send(Buffer.alloc(parseInt(parts[2], 10)), { binary: true });
        return reply('sent ' + name);
      case 'sendfrag': {
        const n = parseInt(parts[2], 10);
        const bytes = Buffer.from(parts.slice(3).join(' '), 'utf8');
        for (let i = 0; i < n; ++i) {
          const piece = bytes.subarray(Math.floor((bytes.length * i) / n),
            Math.floor((bytes.length * (i + 1)) / n));
          c.ws.send(piece, { binary: false, fin: i === n - 1 });
        }
        return reply('sent ' + name);
      }
      case 'sendunmasked': c.ws.send(parts.slice(2).join(' '), { mask: false });
        return reply('sent ' + name);
      case 'ping':
        c.ws.once('pong', (data) => reply('pong ' + name + ' ' + data.toString('utf8')));
        return c.ws.ping(parts.slice(2).join(' '));
      case 'closewith':
        c.ws.once('close', (code, reason) =>
          reply('closed ' + name + ' ' + code + ' ' + reason.toString('utf8')));
        return c.ws.close(parseInt(parts[2], 10), parts.slice(3).join(' '));
      case 'close':
        if (c.closeCode !== null) return reply('closed ' + name + ' ' + c.closeCode);
        c.ws.once('close', (code) => reply('closed ' + name + ' ' + code));
        return c.ws.close(1000);
      case 'state':
        return reply('state ' + name + ' ' + (c.closeCode === null ? 'open 0' : 'closed ' + c.closeCode));
      case 'count': return reply('count ' + name + ' ' + c.messages.length);
      case 'wait': {
        const want = parseInt(parts[2], 10);
        let answered = false;
        const check = () => {
          if (answered) return true;
          if (c.messages.length >= want || c.closeCode !== null) {
            answered = true;
            reply('count ' + name + ' ' + c.messages.length);
            return true;
          }
          return false;
        };
        if (check()) return;
        c.waiters.push(check);
        setTimeout(() => {
          if (!answered) { answered = true; reply('count ' + name + ' ' + c.messages.length); }
        }, parseInt(parts[3], 10));
        return;
      }
      case 'messages': return reply('messages ' + name + ' ' + JSON.stringify(c.messages));
      default: return reply('error ' + (name || '') + ' unknown command ' + cmd);
    }
  }

  const server = net.createServer((socket) => {
    let pending = '';
    const reply = (text) => socket.write(text + '\n');
    socket.on('data', (chunk) => {
      pending += chunk.toString('utf8');
      let nl;
      while ((nl = pending.indexOf('\n')) >= 0) {
        const line = pending.slice(0, nl).replace(/\r$/, '');
        pending = pending.slice(nl + 1);
        try { handle(line, reply); } catch (e) { reply('error ' + e.message); }
      }
    });
    socket.on('error', () => {});
  });
  server.listen(0, '127.0.0.1', () => process.stdout.write(server.address().port + '\n'));
  process.on('SIGTERM', () => process.exit(0));
} else {
  process.stderr.write('usage: ws_peer.js control | consume URL\n');
  process.exit(2);
}
