// A counting WebSocket consumer for benchmarks, written with the `ws` package.
//   node ws_counter.js URL N [times]
// Prints "open" once connected. After N text messages it prints, with
// `times`, one line "t NS" per message (receipt time, process.hrtime, the
// same monotonic clock as the C++ side's steady_clock), then
// "done N FIRST_NS LAST_NS".
'use strict';
const WebSocket = require('ws');
const url = process.argv[2];
const want = parseInt(process.argv[3], 10);
const keepTimes = process.argv[4] === 'times';
const times = keepTimes ? new Array(want) : null;
let count = 0;
let first = 0n;
const ws = new WebSocket(url, { perMessageDeflate: false });
ws.on('open', () => process.stdout.write('open\n'));
ws.on('message', () => {
  const now = process.hrtime.bigint();
  if (count === 0) first = now;
  if (keepTimes && count < want) times[count] = now;
  if (++count === want) {
    let out = '';
    if (keepTimes) for (const t of times) out += 't ' + t + '\n';
    out += 'done ' + want + ' ' + first + ' ' + now + '\n';
    process.stdout.write(out);
  }
});
ws.on('error', (e) => { process.stderr.write('ws_counter: ' + e.message + '\n'); process.exit(1); });
process.on('SIGTERM', () => process.exit(0));
