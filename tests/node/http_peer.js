// A fake outside web server for the fetch tests, on 127.0.0.1.
//
//   node http_peer.js
//
// Prints one line "<http port> <socks port> <https port>" when listening (the
// https port is 0 when no certificate could be made). Routes, by path:
//   /echo (and any unknown path)  the request as received: "REQUEST <method> <url>
//                                 HTTP/<version>", then every raw header line in the
//                                 order sent, a blank line, then the body bytes
//   /redirect?code=302&to=/echo   a redirect with a Location header
//   /cookies                      two Set-Cookie lines: "a=1; Path=/" and "b=2"
//   /bigheaders?size=6000         an X-Big header of that many bytes, a Set-Cookie c=3,
//                                 body "big"
//   /meta?at=early|late&charset=utf-8
//                                 an HTML page in UTF-8 declaring that charset in a meta
//                                 tag before (early) or after (late) byte 1024
//   /gbkpage                      an HTML page in GBK bytes declaring charset=gbk
//   /bytes                        the 256 byte values 0..255
//   /size?n=1000                  a body of n bytes "x"
//   /silent                       never answers
//   /truncated                    promises 100 bytes, sends 10, then cuts the connection
// A request in absolute form (through this server as an http proxy) is echoed.
// The SOCKS5 port accepts CONNECT to any address, prints "socks <host>:<port>" on
// stdout and connects to the http port here instead.
'use strict';
const http = require('http');
const https = require('https');
const net = require('net');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { execFileSync } = require('child_process');

function echo(req, res, body) {
  const lines = [`REQUEST ${req.method} ${req.url} HTTP/${req.httpVersion}`];
  for (let i = 0; i < req.rawHeaders.length; i += 2) {
    lines.push(`${req.rawHeaders[i]}: ${req.rawHeaders[i + 1]}`);
  }
  const head = Buffer.from(lines.join('\r\n') + '\r\n\r\n', 'latin1');
  res.writeHead(200, { 'Content-Type': 'text/plain' });
  res.end(Buffer.concat([head, body]));
}

function page(at, charset) {
  const meta = `<meta http-equiv="Content-Type" content="text/html; charset=${charset}">`;
  const pad = '<!-- ' + 'p'.repeat(1100) + ' -->';
  const head = at === 'late' ? pad + meta : meta + pad;
  return Buffer.from(`<html><head>${head}</head><body>中文页面</body></html>`, 'utf8');
}

function handle(req, res) {
  const chunks = [];
  req.on('data', (c) => chunks.push(c));
  req.on('end', () => {
    const body = Buffer.concat(chunks);
    const url = new URL(req.url, 'http://peer.invalid');
    const q = url.searchParams;
    if (/^https?:\/\//.test(req.url)) return echo(req, res, body);
    switch (url.pathname) {
      case '/redirect':
        res.writeHead(Number(q.get('code') || 302), { Location: q.get('to') || '/echo' });
        return res.end('moved');
      case '/cookies':
        res.setHeader('Set-Cookie', ['a=1; Path=/', 'b=2']);
        res.writeHead(200, { 'Content-Type': 'text/plain' });
        return res.end('cookies');
      case '/bigheaders':
        res.setHeader('X-Big', 'y'.repeat(Number(q.get('size') || 6000)));
        res.setHeader('Set-Cookie', 'c=3');
        res.writeHead(200, { 'Content-Type': 'text/plain' });
        return res.end('big');
      case '/meta':
        res.writeHead(200, { 'Content-Type': 'text/html' });
        return res.end(page(q.get('at') || 'early', q.get('charset') || 'utf-8'));
      case '/gbkpage':
        res.writeHead(200, { 'Content-Type': 'text/html' });
        // "中文" in GBK bytes.
        return res.end(Buffer.concat([
          Buffer.from('<html><head><meta charset="gbk"></head><body>'),
          Buffer.from([0xd6, 0xd0, 0xce, 0xc4]),
          Buffer.from('</body></html>'),
        ]));
      case '/bytes': {
        const all = Buffer.alloc(256);
        for (let i = 0; i < 256; ++i) all[i] = i;
        res.writeHead(200, { 'Content-Type': 'application/octet-stream' });
        return res.end(all);
      }
      case '/size':
        res.writeHead(200, { 'Content-Type': 'application/octet-stream' });
        return res.end(Buffer.alloc(Number(q.get('n') || 0), 'x'));
      case '/silent':
        return;  // the client's timeout has to end this
      case '/truncated':
        res.writeHead(200, { 'Content-Length': '100' });
        res.write('0123456789');
        setTimeout(() => req.socket.destroy(), 50);
        return;
      default:
        return echo(req, res, body);
    }
  });
}

function makeCertificate() {
  try {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'lumora-peer-'));
    const key = path.join(dir, 'key.pem');
    const cert = path.join(dir, 'cert.pem');
    execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', key,
      '-out', cert, '-days', '1', '-subj', '/CN=127.0.0.1',
      '-addext', 'subjectAltName=IP:127.0.0.1'], { stdio: 'ignore' });
    const pair = { key: fs.readFileSync(key), cert: fs.readFileSync(cert) };
    fs.rmSync(dir, { recursive: true, force: true });
    return pair;
  } catch (e) {
    return null;
  }
}

function socksServer(httpPort) {
  return net.createServer((client) => {
    let stage = 0;
    let buffered = Buffer.alloc(0);
    client.on('error', () => {});
    client.on('data', function onData(data) {
      buffered = Buffer.concat([buffered, data]);
      if (stage === 0) {
        if (buffered.length < 2 || buffered.length < 2 + buffered[1]) return;
        buffered = buffered.subarray(2 + buffered[1]);
        client.write(Buffer.from([5, 0]));
        stage = 1;
      }
      if (stage === 1) {
        if (buffered.length < 5) return;
        let host;
        let end;
        if (buffered[3] === 1) {
          end = 4 + 4;
          host = Array.from(buffered.subarray(4, 8)).join('.');
        } else if (buffered[3] === 3) {
          end = 5 + buffered[4];
          host = buffered.subarray(5, end).toString('latin1');
        } else {
          return client.destroy();
        }
        if (buffered.length < end + 2) return;
        const port = buffered.readUInt16BE(end);
        const rest = buffered.subarray(end + 2);
        stage = 2;
        client.removeListener('data', onData);
        console.log(`socks ${host}:${port}`);
        const upstream = net.connect(httpPort, '127.0.0.1', () => {
          client.write(Buffer.from([5, 0, 0, 1, 127, 0, 0, 1, 0, 0]));
          if (rest.length) upstream.write(rest);
          client.pipe(upstream);
          upstream.pipe(client);
        });
        upstream.on('error', () => client.destroy());
      }
    });
  });
}

const server = http.createServer(handle);
server.maxHeaderSize = 64 * 1024;
server.listen(0, '127.0.0.1', () => {
  const httpPort = server.address().port;
  const socks = socksServer(httpPort);
  socks.listen(0, '127.0.0.1', () => {
    const pair = makeCertificate();
    const report = (httpsPort) => {
      console.log(`${httpPort} ${socks.address().port} ${httpsPort}`);
    };
    if (!pair) return report(0);
    const secure = https.createServer(pair, handle);
    secure.listen(0, '127.0.0.1', () => report(secure.address().port));
  });
});

process.on('SIGTERM', () => process.exit(0));
