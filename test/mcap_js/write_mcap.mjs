// Writes an MCAP bag with the ecosystem's own libraries (@mcap/core for the file,
// @foxglove/rosmsg2-serialization for ROS 2 CDR), from a JSON description of its messages:
//   node write_mcap.mjs SCENARIO.json OUT.mcap [lz4]
// SCENARIO: {"definitions": {type: ros2msg text}, "messages": [{"topic", "type",
// "log_time" (decimal string, ns), "message": {...}}]}; a byte array is {"$base64": "..."}.
import { open } from "node:fs/promises";
import { readFileSync } from "node:fs";
import { McapWriter } from "@mcap/core";
import { parse } from "@foxglove/rosmsg";
import { MessageWriter } from "@foxglove/rosmsg2-serialization";
import lz4 from "lz4js";

const [scenarioPath, outPath, compression] = process.argv.slice(2);
const scenario = JSON.parse(readFileSync(scenarioPath, "utf8"));

function revive(value) {
  if (Array.isArray(value)) {
    return value.map(revive);
  }
  if (value !== null && typeof value === "object") {
    if ("$base64" in value) {
      return new Uint8Array(Buffer.from(value.$base64, "base64"));
    }
    return Object.fromEntries(Object.entries(value).map(([key, inner]) => [key, revive(inner)]));
  }
  return value;
}

class FileWritable {
  constructor(handle) {
    this.handle = handle;
    this.offset = 0n;
  }
  position() {
    return this.offset;
  }
  async write(buffer) {
    await this.handle.write(buffer);
    this.offset += BigInt(buffer.byteLength);
  }
}

const handle = await open(outPath, "w");
const writer = new McapWriter({
  writable: new FileWritable(handle),
  chunkSize: 64 * 1024,
  compressChunk: compression === "lz4" ?
    (data) => ({ compression: "lz4", compressedData: Uint8Array.from(lz4.compress(data)) }) :
    undefined,
});
await writer.start({ profile: "ros2", library: "velmora replay test (@mcap/core)" });

const writers = new Map();
const channels = new Map();
for (const [type, text] of Object.entries(scenario.definitions)) {
  writers.set(type, new MessageWriter(parse(text, { ros2: true })));
}
let sequence = 0;
for (const entry of scenario.messages) {
  if (!channels.has(entry.topic)) {
    const schemaId = await writer.registerSchema({
      name: entry.type,
      encoding: "ros2msg",
      data: new TextEncoder().encode(scenario.definitions[entry.type]),
    });
    channels.set(entry.topic, await writer.registerChannel({
      schemaId,
      topic: entry.topic,
      messageEncoding: "cdr",
      metadata: new Map(),
    }));
  }
  const time = BigInt(entry.log_time);
  await writer.addMessage({
    channelId: channels.get(entry.topic),
    sequence: sequence++,
    logTime: time,
    publishTime: time,
    data: writers.get(entry.type).writeMessage(revive(entry.message)),
  });
}
await writer.end();
await handle.close();
