// Reads a USD file with TinyUSDZ's WebAssembly build and prints what it
// found as one JSON object on stdout:
//   {"parsed": true, "layer": TEXT, "meshes": [{"path", "points",
//    "faceVertexCounts", "faceVertexIndices", "normals", "texcoords"}, ...],
//    "stageError": TEXT}
// or {"parsed": false, "error": TEXT} when the file does not parse. "layer"
// is the file read as a layer and written back by the reader, with every
// time sample; "meshes" are the stage's meshes as the reader's render scene
// holds them (at the first time sample), or "stageError" says why the
// reader made none (it takes no mesh whose first sample is empty).
//
// Usage: node usd_reader.mjs TINYUSDZ_FOLDER FILE.usda
import fs from 'node:fs';
import path from 'node:path';
import { pathToFileURL } from 'node:url';

// The module is built for browsers: in Node it loads as a renderer process
// would, with the .wasm bytes handed over instead of fetched.
process.type = 'renderer';
globalThis.window = globalThis;

const [folder, file] = process.argv.slice(2);
const { default: init } = await import(pathToFileURL(path.join(folder, 'tinyusdz.js')).href);
const native = await init({ wasmBinary: fs.readFileSync(path.join(folder, 'tinyusdz.wasm')) });
const bytes = new Uint8Array(fs.readFileSync(file));

const layer = new native.TinyUSDZLoaderNative();
if (!layer.loadAsLayerFromBinary(bytes, file)) {
  console.log(JSON.stringify({ parsed: false, error: layer.error() }));
  process.exit(0);
}
const result = { parsed: true, layer: layer.layerToString(), meshes: [], stageError: null };
// The render scene's converter prints its errors too: keep stdout for the JSON.
const print = console.log;
console.log = console.error;
const stage = new native.TinyUSDZLoaderNative();
if (stage.loadFromBinary(bytes, file)) {
  const array = (values) => (values === undefined ? null : Array.from(values));
  for (let i = 0; i < stage.numMeshes(); ++i) {
    const mesh = stage.getMesh(i);
    result.meshes.push({
      path: mesh.absPath,
      points: array(mesh.points),
      faceVertexCounts: array(mesh.faceVertexCounts),
      faceVertexIndices: array(mesh.faceVertexIndices),
      normals: array(mesh.normals),
      texcoords: array(mesh.texcoords),
    });
  }
} else {
  result.stageError = stage.error();
}
print(JSON.stringify(result));
