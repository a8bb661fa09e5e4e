// A fake live platform for Lumora's tests: the web API's two room calls and
// the danmaku WebSocket on /sub, on one plain HTTP port of 127.0.0.1.
//
//   node fake_live_platform.js [--origin URL] [--real-room N] [--token T]
//                              [--title T] [--uname U] [--port P]
//
// Prints its port as the ready line. What the client did is kept and
// answered as JSON by GET /control/state; the peer logs each step as a line on
// stdout too. Control requests:
//   POST /control/send?format=zlib|brotli|plain   body: JSON array of
//        messages (objects, or strings sent as they are); sent as one batch
//        to every open connection. Answers {"sent": connections}.
//   GET  /control/text?body=...     a text WebSocket message to every connection
//   GET  /control/close             closes every open connection
//   GET  /control/set?api=ok|empty|garbage|status500|file
//                    &info_file=PATH&danmu_file=PATH   (api=file serves files)
//                    &close_on_auth=0|1   close each connection after its auth
//                    &auto_batch=JSON-array  sent (zlib) after every good auth
//                    &real_room=N&token=T&title=T&uname=U
//   GET  /control/reset             forgets what was recorded
'use strict';

const http = require('http');
const fs = require('fs');
const zlib = require('zlib');
const { WebSocketServer } = require('ws');

const args = process.argv.slice(2);
function arg(name, fallback) {
  const i = args.indexOf(name);
  return i >= 0 && i + 1 < args.length ? args[i + 1] : fallback;
}

const config = {
  origin: arg('--origin', 'https://live.bilibili.com'),
  realRoom: Number(arg('--real-room', '5050')),
  token: arg('--token', 'fake-token-123'),
  title: arg('--title', '测试房间'),
  uname: arg('--uname', '主播'),
  api: 'ok',
  infoFile: '',
  danmuFile: '',
  closeOnAuth: false,
  autoBatch: null,
};

const HEARTBEAT = Buffer.concat([
  Buffer.from([0, 0, 0, 0x1f, 0, 0x10, 0, 1, 0, 0, 0, 2, 0, 0, 0, 1]),
  Buffer.from('[object Object]'),
]);
const AUTH_KEYS = ['uid', 'roomid', 'protover', 'platform', 'type', 'key'];

let state;
function resetState() {
  state = {
    connections: 0,
    open: 0,
    opens_ms: [],
    closes_ms: [],
    header_checks: [],
    auths: [],
    heartbeats: [],   // {conn, t_ms, ok}
    api_requests: [], // {kind, query}
    bad_frames: [],
  };
}
resetState();
const started = process.hrtime.bigint();
function nowMs() {
  return Number(process.hrtime.bigint() - started) / 1e6;
}
function log(line) {
  process.stdout.write(line + '\n');
}

function packet(body, version, operation, sequence) {
  const header = Buffer.alloc(16);
  header.writeUInt32BE(16 + body.length, 0);
  header.writeUInt16BE(16, 4);
  header.writeUInt16BE(version, 6);
  header.writeUInt32BE(operation, 8);
  header.writeUInt32BE(sequence, 12);
  return Buffer.concat([header, body]);
}

function messageBody(m) {
  return Buffer.from(typeof m === 'string' ? m : JSON.stringify(m), 'utf8');
}

function buildBatch(messages, format) {
  const inner = Buffer.concat(messages.map((m) => packet(messageBody(m), 0, 5, 0)));
  if (format === 'plain') return inner;
  if (format === 'brotli') return packet(zlib.brotliCompressSync(inner), 3, 5, 0);
  return packet(zlib.deflateSync(inner), 2, 5, 0);
}

function checkHeaders(req) {
  const problems = [];
  const h = req.headers;
  if (h['sec-websocket-extensions'] !== 'x-webkit-deflate-frame')
    problems.push('extensions=' + h['sec-websocket-extensions']);
  if (h['sec-websocket-protocol'] !== 'undefined') problems.push('protocol=' + h['sec-websocket-protocol']);
  if (h['origin'] !== config.origin) problems.push('origin=' + h['origin']);
  if (!('accept-encoding' in h) || h['accept-encoding'] !== '')
    problems.push('accept-encoding=' + h['accept-encoding']);
  // The four in their order among the raw header lines.
  const wanted = ['sec-websocket-extensions', 'sec-websocket-protocol', 'origin', 'accept-encoding'];
  const names = [];
  for (let i = 0; i < req.rawHeaders.length; i += 2) names.push(req.rawHeaders[i].toLowerCase());
  const positions = wanted.map((n) => names.indexOf(n));
  for (let i = 1; i < positions.length; ++i) {
    if (positions[i] < positions[i - 1]) problems.push('order');
  }
  return problems;
}

function checkAuth(buf) {
  const problems = [];
  if (buf.length < 16) return { problems: ['short'], body: null };
  if (buf.readUInt32BE(0) !== buf.length) problems.push('packet_length');
  if (buf.readUInt16BE(4) !== 16) problems.push('header_length');
  if (buf.readUInt16BE(6) !== 1) problems.push('version');
  if (buf.readUInt32BE(8) !== 7) problems.push('operation');
  if (buf.readUInt32BE(12) !== 1) problems.push('sequence');
  const text = buf.subarray(16).toString('utf8');
  let body = null;
  try {
    body = JSON.parse(text);
  } catch (e) {
    problems.push('json');
    return { problems, body: null, text };
  }
  if (JSON.stringify(Object.keys(body)) !== JSON.stringify(AUTH_KEYS)) problems.push('keys');
  if (body.uid !== 0) problems.push('uid');
  if (body.roomid !== config.realRoom) problems.push('roomid=' + body.roomid);
  if (body.protover !== 1) problems.push('protover');
  if (body.platform !== 'client') problems.push('platform');
  if (body.type !== 1) problems.push('type');
  if (body.key !== config.token) problems.push('key=' + body.key);
  return { problems, body, text };
}

const sockets = new Set();
const wss = new WebSocketServer({ noServer: true, perMessageDeflate: false });

wss.on('connection', (ws, req, headerProblems) => {
  const conn = ++state.connections;
  state.open++;
  state.opens_ms.push(nowMs());
  state.header_checks.push(headerProblems);
  sockets.add(ws);
  log(`open ${conn} headers=${headerProblems.length ? headerProblems.join(',') : 'ok'}`);
  let authed = false;
  ws.on('message', (data, isBinary) => {
    const buf = Buffer.isBuffer(data) ? data : Buffer.concat(data);
    if (!isBinary) {
      state.bad_frames.push({ conn, why: 'text' });
      return;
    }
    if (!authed) {
      authed = true;
      const { problems, text } = checkAuth(buf);
      state.auths.push({ conn, ok: problems.length === 0, problems, text, t_ms: nowMs() });
      log(`auth ${conn} ${problems.length ? 'bad ' + problems.join(',') : 'ok'}`);
      if (problems.length === 0) ws.send(packet(Buffer.from('{"code":0}'), 1, 8, 1));
      if (config.closeOnAuth) {
        ws.close(1000);
        return;
      }
      if (problems.length === 0 && config.autoBatch) ws.send(buildBatch(config.autoBatch, 'zlib'));
      return;
    }
    const ok = buf.equals(HEARTBEAT);
    state.heartbeats.push({ conn, t_ms: nowMs(), ok });
    log(`heartbeat ${conn} ${ok ? 'ok' : 'bad'}`);
    if (!ok) {
      state.bad_frames.push({ conn, why: 'not a heartbeat', hex: buf.subarray(0, 48).toString('hex') });
      return;
    }
    const reply = Buffer.alloc(4);
    reply.writeUInt32BE(4242, 0);
    ws.send(packet(reply, 1, 3, 1));
  });
  ws.on('close', () => {
    sockets.delete(ws);
    state.open--;
    state.closes_ms.push(nowMs());
    log(`close ${conn}`);
  });
  ws.on('error', () => {});
});

function answerApi(res, kind, url) {
  state.api_requests.push({ kind, query: url.search });
  log(`api ${kind} ${url.search}`);
  if (config.api === 'empty') return res.end();
  if (config.api === 'garbage') return res.end('<html>502 Bad Gateway</html>\x00{"data":');
  if (config.api === 'status500') {
    res.statusCode = 500;
    return res.end('{"code":-500}');
  }
  if (config.api === 'file') {
    const path = kind === 'info' ? config.infoFile : config.danmuFile;
    res.setHeader('Content-Type', 'application/json; charset=utf-8');
    return res.end(fs.readFileSync(path));
  }
  res.setHeader('Content-Type', 'application/json; charset=utf-8');
  if (kind === 'info') {
    const typed = url.searchParams.get('room_id');
    return res.end(JSON.stringify({
      code: 0, msg: 'ok', message: 'ok',
      data: {
        room_info: { uid: 9, room_id: config.realRoom, short_id: Number(typed) || 0, title: config.title, live_status: 1 },
        anchor_info: { base_info: { uname: config.uname, face: 'http://x/y.jpg' } },
      },
    }));
  }
  return res.end(JSON.stringify({
    code: 0, message: '0', ttl: 1,
    data: { group: 'live', business_id: 0, refresh_row_factor: 0.125, refresh_rate: 100, max_delay: 5000,
      token: config.token, host_list: [{ host: '127.0.0.1', port: 0, wss_port: 0, ws_port: 0 }] },
  }));
}

function readBody(req) {
  return new Promise((resolve) => {
    const parts = [];
    req.on('data', (c) => parts.push(c));
    req.on('end', () => resolve(Buffer.concat(parts).toString('utf8')));
  });
}

function json(res, value) {
  res.setHeader('Content-Type', 'application/json; charset=utf-8');
  res.end(JSON.stringify(value));
}

const server = http.createServer(async (req, res) => {
  const url = new URL(req.url, 'http://127.0.0.1');
  try {
    if (url.pathname === '/xlive/web-room/v1/index/getInfoByRoom') return answerApi(res, 'info', url);
    if (url.pathname === '/xlive/web-room/v1/index/getDanmuInfo') return answerApi(res, 'danmu', url);
    if (url.pathname === '/control/state') return json(res, state);
    if (url.pathname === '/control/reset') {
      resetState();
      return json(res, { ok: true });
    }
    if (url.pathname === '/control/send') {
      const format = url.searchParams.get('format') || 'zlib';
      const messages = JSON.parse(await readBody(req));
      const batch = buildBatch(messages, format);
      for (const ws of sockets) ws.send(batch);
      return json(res, { sent: sockets.size, bytes: batch.length });
    }
    if (url.pathname === '/control/text') {
      for (const ws of sockets) ws.send(url.searchParams.get('body') || '{}');
      return json(res, { sent: sockets.size });
    }
    if (url.pathname === '/control/close') {
      const n = sockets.size;
      for (const ws of sockets) ws.close(1000);
      return json(res, { closed: n });
    }
    if (url.pathname === '/control/set') {
      const p = url.searchParams;
      if (p.has('api')) config.api = p.get('api');
      if (p.has('info_file')) config.infoFile = p.get('info_file');
      if (p.has('danmu_file')) config.danmuFile = p.get('danmu_file');
      if (p.has('close_on_auth')) config.closeOnAuth = p.get('close_on_auth') === '1';
      if (p.has('auto_batch')) config.autoBatch = p.get('auto_batch') ? JSON.parse(p.get('auto_batch')) : null;
      if (p.has('real_room')) config.realRoom = Number(p.get('real_room'));
      if (p.has('token')) config.token = p.get('token');
      if (p.has('title')) config.title = p.get('title');
      if (p.has('uname')) config.uname = p.get('uname');
      return json(res, { ok: true });
    }
    res.statusCode = 404;
    res.end('not found');
  } catch (e) {
    res.statusCode = 400;
    res.end(String(e));
  }
});

server.on('upgrade', (req, socket, head) => {
  const url = new URL(req.url, 'http://127.0.0.1');
  if (url.pathname !== '/sub') {
    socket.destroy();
    return;
  }
  const problems = checkHeaders(req);
  wss.handleUpgrade(req, socket, head, (ws) => wss.emit('connection', ws, req, problems));
});

server.listen(Number(arg('--port', '0')), '127.0.0.1', () => log(String(server.address().port)));
process.on('SIGTERM', () => process.exit(0));
