// An event consumer for the live pipeline benchmark, written with `ws`.
//
//   node live_bench_consumer.js URL count N
//     Prints "open", then "done N FIRST_NS LAST_NS" once N text messages
//     arrived (monotonic clock of the first and the last).
//   node live_bench_consumer.js URL latency N
//     Prints "open", then, once N messages arrived, "latency " and a JSON
//     array of [uid, receive_ns] pairs. The clock is CLOCK_MONOTONIC, the same
//     as the benchmark's steady clock.
'use strict';
const WebSocket = require('ws');

const [url, mode, countText] = process.argv.slice(2);
const expected = Number(countText);
const ws = new WebSocket(url, { perMessageDeflate: false });
let received = 0;
let firstNs = 0n;
const pairs = [];
ws.on('open', () => process.stdout.write('open\n'));
ws.on('message', (data, isBinary) => {
  if (isBinary) return;
  const now = process.hrtime.bigint();
  if (received === 0) firstNs = now;
  ++received;
  if (mode === 'latency') pairs.push([JSON.parse(data.toString('utf8')).uid, String(now)]);
  if (received === expected) {
    if (mode === 'latency') process.stdout.write('latency ' + JSON.stringify(pairs) + '\n');
    else process.stdout.write(`done ${received} ${firstNs} ${now}\n`);
  }
});
ws.on('error', (e) => {
  process.stderr.write('live_bench_consumer: ' + e.message + '\n');
  process.exit(1);
});
process.on('SIGTERM', () => process.exit(0));
