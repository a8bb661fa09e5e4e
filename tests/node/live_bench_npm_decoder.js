// Decodes the benchmark's frames with the npm package bilibili-live-ws (its
// buffer decoder over Node's zlib) and prints the rate, timed inside Node.
//
//   node live_bench_npm_decoder.js FRAMES_FILE MIN_SECONDS
// FRAMES_FILE: frames back to back, each preceded by its 4-byte big-endian
// length. Prints "npm MESSAGES SECONDS".
'use strict';
const fs = require('fs');
const { makeDecoder } = require('bilibili-live-ws/src/buffer');
const { inflates } = require('bilibili-live-ws/src/inflate/node');

const [file, minSecondsText] = process.argv.slice(2);
const minSeconds = Number(minSecondsText || '2');
const all = fs.readFileSync(file);
const frames = [];
for (let i = 0; i < all.length;) {
  const n = all.readUInt32BE(i);
  frames.push(all.subarray(i + 4, i + 4 + n));
  i += 4 + n;
}
const decode = makeDecoder(inflates);

(async () => {
  // Warm up once.
  for (const f of frames) await decode(f);
  let messages = 0;
  const start = process.hrtime.bigint();
  let seconds = 0;
  while (seconds < minSeconds) {
    for (const f of frames) {
      const packs = await decode(f);
      messages += packs.length;
    }
    seconds = Number(process.hrtime.bigint() - start) / 1e9;
  }
  process.stdout.write(`npm ${messages} ${seconds}\n`);
  process.exit(0);
})();
