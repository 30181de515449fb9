// The general-purpose runtime's side of the side-by-side benchmark; compare_bench runs it
// as a child process.
//
//   node ort_side.mjs check MODEL FRAMES STATE COUNT OUTPUT
//     runs COUNT frames and writes each frame's "spec_e" then "state_out" to OUTPUT
//   node ort_side.mjs time MODEL FRAMES STATE COUNT
//     prints "load_ms node_rss_kib rss_early_kib rss_end_kib", then one line per frame
//     with its microseconds
//
// FRAMES holds 322 little-endian floats per frame, used in a cycle; STATE the start
// state. The state each frame returns is fed to the next one, as the cleaner does.
import { readFileSync, writeFileSync } from "node:fs";
import process from "node:process";

const [mode, modelPath, framesPath, statePath, countText, outputPath] = process.argv.slice(2);
const spectrumValues = 322;
// The resident memory of the runtime process before the runtime is loaded.
const nodeRssKib = Math.round(process.memoryUsage().rss / 1024);
const ort = await import("onnxruntime-node");

function floats(path) {
  const bytes = readFileSync(path);
  return new Float32Array(bytes.buffer, bytes.byteOffset, bytes.byteLength / 4);
}

const frames = floats(framesPath);
const startState = floats(statePath).slice();
const frameCount = frames.length / spectrumValues;
const count = Number(countText);

const started = process.hrtime.bigint();
const session = await ort.InferenceSession.create(modelPath, {
  intraOpNumThreads: 1,
  interOpNumThreads: 1,
  graphOptimizationLevel: "all",
  executionProviders: ["cpu"],
});
const loadMs = Number(process.hrtime.bigint() - started) / 1e6;

const spectrum = new Float32Array(spectrumValues);
let state = new ort.Tensor("float32", startState, [startState.length]);

async function step(t) {
  const at = (t % frameCount) * spectrumValues;
  spectrum.set(frames.subarray(at, at + spectrumValues));
  const results = await session.run({
    spec: new ort.Tensor("float32", spectrum, [1, 1, 161, 2]),
    state_in: state,
  });
  state = results.state_out;
  return results.spec_e;
}

function rssKib() {
  return Math.round(process.memoryUsage().rss / 1024);
}

if (mode === "check") {
  const parts = [];
  for (let t = 0; t < count; ++t) {
    const spec = await step(t);
    parts.push(Buffer.from(spec.data.slice().buffer), Buffer.from(state.data.slice().buffer));
  }
  writeFileSync(outputPath, Buffer.concat(parts));
} else if (mode === "time") {
  const micros = new Float64Array(count);
  let rssEarly = 0;
  for (let t = 0; t < count; ++t) {
    const begin = process.hrtime.bigint();
    await step(t);
    micros[t] = Number(process.hrtime.bigint() - begin) / 1e3;
    if (t === Math.min(count - 1, 300)) rssEarly = rssKib();
  }
  const lines = [`${loadMs} ${nodeRssKib} ${rssEarly} ${rssKib()}`];
  for (const m of micros) lines.push(String(m));
  process.stdout.write(lines.join("\n") + "\n");
} else {
  process.stderr.write("usage: ort_side.mjs check|time MODEL FRAMES STATE COUNT [OUTPUT]\n");
  process.exit(64);
}
