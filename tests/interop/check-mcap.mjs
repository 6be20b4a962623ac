// Opens a file made by `twv export` with Foxglove's own MCAP reader and ROS 2
// message decoder and compares it with the recording it came from. Run by CI
// (.ci/run), which installs the packages named in package.json here; nothing
// of the product depends on them.
//
//   node check-mcap.mjs OUT.mcap REC.twv FIRST LAST [DEPTH_FOLDER]
//
// REC.twv must be lossless, so that the pictures compare bit for bit.
// DEPTH_FOLDER holds depth_NNNNNN.pfm from `twv depth --frames ... --format pfm`
// made with the same depth mode, for the depth and cloud topics.

import { createRequire } from "node:module";
import { open, readFile } from "node:fs/promises";
import { McapIndexedReader, McapStreamReader } from "@mcap/core";
import { decompress } from "fzstd";

const require = createRequire(import.meta.url);
const { parse } = require("@foxglove/rosmsg");
const { MessageReader, MessageWriter } = require("@foxglove/rosmsg2-serialization");

const [mcapPath, twvPath, firstArg, lastArg, depthDir] = process.argv.slice(2);
const first = Number(firstArg), last = Number(lastArg);
let failures = 0;
function check(ok, what) {
  if (!ok) {
    failures++;
    console.error(`FAIL: ${what}`);
  }
}
const zstd = { zstd: (data, size) => decompress(data, new Uint8Array(Number(size))) };

// --- the recording (docs/twv-format.md), lossless frames only ---
function readTwv(bytes) {
  const v = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const h = {
    width: v.getUint32(16, true), height: v.getUint32(20, true),
    fx: v.getFloat32(40, true), fy: v.getFloat32(44, true), cx: v.getFloat32(48, true),
    cy: v.getFloat32(52, true), baseline: v.getFloat32(56, true),
  };
  const frames = [];
  for (let at = 128; at + 40 <= bytes.length && String.fromCharCode(...bytes.subarray(at, at + 4)) === "TWVF";) {
    const codec = v.getUint32(at + 4, true);
    const stamp = v.getBigUint64(at + 8, true);
    const left = Number(v.getBigUint64(at + 16, true)), right = Number(v.getBigUint64(at + 24, true));
    if (codec !== 2) throw new Error("the recording must be lossless");
    const l = bytes.subarray(at + 40, at + 40 + left), r = bytes.subarray(at + 40 + left, at + 40 + left + right);
    frames.push({ stamp, left: decompress(l), right: decompress(r) });
    at += 40 + left + right;
  }
  return { h, frames };
}

function readPfm(bytes) {
  const text = new TextDecoder("latin1").decode(bytes.subarray(0, 64));
  const [kind, size, scale] = text.split("\n");
  const [w, h] = size.split(" ").map(Number);
  const start = kind.length + size.length + scale.length + 3;
  const floats = new Float32Array(bytes.buffer.slice(bytes.byteOffset + start, bytes.byteOffset + start + w * h * 4));
  const topDown = new Float32Array(w * h);
  for (let y = 0; y < h; y++) topDown.set(floats.subarray((h - 1 - y) * w, (h - y) * w), y * w);
  return { w, h, data: topDown };
}

const same = (a, b) => a.length === b.length && a.every((x, i) => x === b[i]);
const near = (a, b, tol) => Math.abs(a - b) <= tol;

async function main() {
  const file = await open(mcapPath, "r");
  const { size } = await file.stat();
  const readable = {
    size: async () => BigInt(size),
    read: async (offset, length) => {
      const buf = new Uint8Array(Number(length));
      await file.read(buf, 0, buf.length, Number(offset));
      return buf;
    },
  };
  const reader = await McapIndexedReader.Initialize({ readable, decompressHandlers: zstd });
  check(reader.header.profile === "ros2", `profile is ${reader.header.profile}`);
  check(reader.chunkIndexes.length > 0 && reader.statistics !== undefined, "summary with chunk indexes and statistics");

  // Every record in file order, every CRC validated, footer and magic included.
  const stream = new McapStreamReader({ decompressHandlers: zstd, validateCrcs: true });
  stream.append(await readFile(mcapPath));
  const kinds = new Set();
  for (let record; (record = stream.nextRecord());) kinds.add(record.type);
  check(stream.done(), "the stream reader reached the end");
  for (const k of ["Header", "Schema", "Channel", "Message", "MessageIndex", "ChunkIndex", "Statistics",
    "SummaryOffset", "DataEnd", "Footer"])
    check(kinds.has(k), `a ${k} record`);

  const decoders = new Map();
  for (const [id, channel] of reader.channelsById) {
    const schema = reader.schemasById.get(channel.schemaId);
    check(channel.messageEncoding === "cdr" && schema.encoding === "ros2msg", `${channel.topic} is CDR with ros2msg`);
    const definitions = parse(new TextDecoder().decode(schema.data), { ros2: true });
    decoders.set(id, { topic: channel.topic, reader: new MessageReader(definitions), writer: new MessageWriter(definitions) });
  }
  const { h, frames } = readTwv(await readFile(twvPath));
  const byTopic = new Map();
  for await (const m of reader.readMessages({ validateCrcs: true })) {
    const d = decoders.get(m.channelId);
    const msg = d.reader.readMessage(m.data);
    check(!d.reader.lastReadHadTrailingBytes(), `${d.topic}: no bytes left over`);
    // Foxglove's writer, given what its reader decoded, must produce our bytes.
    check(same(d.writer.writeMessage(msg), m.data), `${d.topic}: CDR bytes as Foxglove writes them`);
    check(m.logTime === m.publishTime, "log and publish time agree");
    if (!byTopic.has(d.topic)) byTopic.set(d.topic, []);
    byTopic.get(d.topic).push({ msg, logTime: m.logTime });
  }
  const count = last - first + 1;
  for (const [topic, list] of byTopic) check(list.length === count, `${topic}: ${list.length} messages, ${count} wanted`);

  for (let i = 0; i < count; i++) {
    const frame = frames[first + i];
    for (const side of ["left", "right"]) {
      const image = byTopic.get(`/vantaro/${side}/image_rect`)[i];
      const info = byTopic.get(`/vantaro/${side}/camera_info`)[i].msg;
      const stamp = BigInt(image.msg.header.stamp.sec) * 1000000000n + BigInt(image.msg.header.stamp.nanosec);
      check(stamp === frame.stamp && image.logTime === frame.stamp, `frame ${first + i}: stamp`);
      check(image.msg.header.frame_id === `vantaro_${side}_optical_frame`, `${side} frame id`);
      check(image.msg.encoding === "bgr8" && image.msg.width === h.width && image.msg.step === h.width * 3, "bgr8 layout");
      check(same(image.msg.data, frame[side]), `frame ${first + i}: ${side} pixels`);
      const tx = side === "right" ? -h.fx * h.baseline : 0;
      check(near(info.k[0], h.fx, 1e-4) && near(info.k[2], h.cx, 1e-4) && near(info.k[4], h.fy, 1e-4) &&
        near(info.k[5], h.cy, 1e-4) && info.k[8] === 1, "K");
      check(near(info.p[0], h.fx, 1e-4) && near(info.p[3], tx, 1e-4) && near(info.p[6], h.cy, 1e-4) && info.p[10] === 1, "P");
      check(same(Array.from(info.r), [1, 0, 0, 0, 1, 0, 0, 0, 1]) && info.d.every((x) => x === 0) &&
        info.distortion_model === "plumb_bob", "R, D");
    }
    if (!depthDir) continue;
    const pfm = readPfm(await readFile(`${depthDir}/depth_${String(first + i).padStart(6, "0")}.pfm`));
    const depth = byTopic.get("/vantaro/depth/image")?.[i]?.msg;
    const cloud = byTopic.get("/vantaro/points")?.[i]?.msg;
    if (depth) {
      const z = new Float32Array(depth.data.slice().buffer);
      check(depth.encoding === "32FC1" && depth.step === h.width * 4, "32FC1 layout");
      check(z.every((v, k) => (Number.isNaN(v) && !(pfm.data[k] > 0)) || v === pfm.data[k]), `frame ${first + i}: depth`);
    }
    if (cloud) {
      const names = cloud.fields.map((f) => `${f.name}@${f.offset}:${f.datatype}`).join(" ");
      check(names === "x@0:7 y@4:7 z@8:7 rgb@12:7" && cloud.point_step === 16 && cloud.height === h.height, "PointCloud2 fields");
      const view = new DataView(cloud.data.buffer, cloud.data.byteOffset, cloud.data.byteLength);
      const left = frame.left;
      let valid = 0, wrong = 0;
      for (let v = 0; v < h.height; v++)
        for (let u = 0; u < h.width; u++) {
          const k = v * h.width + u, at = k * 16;
          const x = view.getFloat32(at, true), y = view.getFloat32(at + 4, true), z = view.getFloat32(at + 8, true);
          const rgb = view.getUint32(at + 12, true);
          const want = (left[3 * k + 2] << 16) | (left[3 * k + 1] << 8) | left[3 * k];
          if (rgb !== want) wrong++;
          if (!(pfm.data[k] > 0)) {
            if (!Number.isNaN(z)) wrong++;
            continue;
          }
          valid++;
          // The optical frame: x right, y down, z forward.
          const tol = 1e-4 * z;
          if (!near(z, pfm.data[k], tol) || !near(x, ((u - h.cx) / h.fx) * z, tol) || !near(y, ((v - h.cy) / h.fy) * z, tol))
            wrong++;
        }
      check(wrong === 0 && valid > 0, `frame ${first + i}: cloud (${wrong} points wrong of ${valid} valid)`);
      check(cloud.is_dense === (valid === h.width * h.height), "is_dense as the data is");
    }
  }
  await file.close();
  if (failures) {
    console.error(`${failures} checks failed`);
    process.exit(1);
  }
  console.log(`${mcapPath}: read by @mcap/core and @foxglove/rosmsg2-serialization, ${count} frames match ${twvPath}`);
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
