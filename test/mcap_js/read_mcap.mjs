// Reads an MCAP bag with the ecosystem's own libraries, as Foxglove opens one: @mcap/core's
// indexed reader (summary, chunk indexes, CRCs) and its stream reader (every record in file
// order, data section CRC), @foxglove/rosmsg2-serialization for ROS 2 CDR through the schemas
// the file carries. Prints what it found as JSON:
//   node read_mcap.mjs BAG.mcap
// {"header", "statistics", "chunk_indexes", "metadata": {name: {key: value}}, "records": {opcode:
// count}, "topics": {topic: {"type", "schema_encoding", "message_encoding", "channel_metadata",
// "count", "decoded", "first": {...}, "in_log_time_order"}}}; byte arrays in "first" are
// given as {"length": n}.
import { open, readFile } from "node:fs/promises";
import { McapIndexedReader, McapStreamReader } from "@mcap/core";
import { parse } from "@foxglove/rosmsg";
import { MessageReader } from "@foxglove/rosmsg2-serialization";
import { decompress } from "fzstd";

const [bagPath] = process.argv.slice(2);
const decompressHandlers = {
  zstd: (data, size) => decompress(data, new Uint8Array(Number(size))),
};

class FileReadable {
  constructor(handle, size) {
    this.handle = handle;
    this.bytes = size;
  }
  async size() {
    return BigInt(this.bytes);
  }
  async read(offset, length) {
    const buffer = new Uint8Array(Number(length));
    await this.handle.read(buffer, 0, Number(length), Number(offset));
    return buffer;
  }
}

function plain(value) {
  if (value instanceof Uint8Array) {
    return { length: value.length };
  }
  if (typeof value === "bigint") {
    return value.toString();
  }
  if (value instanceof Map) {
    return Object.fromEntries([...value].map(([key, inner]) => [String(key), plain(inner)]));
  }
  if (ArrayBuffer.isView(value)) {
    return Array.from(value);
  }
  if (Array.isArray(value)) {
    return value.map(plain);
  }
  if (value !== null && typeof value === "object") {
    return Object.fromEntries(Object.entries(value).map(([key, inner]) => [key, plain(inner)]));
  }
  return value;
}

const handle = await open(bagPath, "r");
const { size } = await handle.stat();
const reader = await McapIndexedReader.Initialize({
  readable: new FileReadable(handle, size),
  decompressHandlers,
});

const result = {
  header: reader.header,
  statistics: plain(reader.statistics),
  chunk_indexes: reader.chunkIndexes.length,
  metadata: {},
  records: {},
  topics: {},
};
for await (const metadata of reader.readMetadata()) {
  result.metadata[metadata.name] = Object.fromEntries(metadata.metadata);
}

const readers = new Map();
for (const [id, channel] of reader.channelsById) {
  const schema = reader.schemasById.get(channel.schemaId);
  readers.set(id, new MessageReader(parse(new TextDecoder().decode(schema.data), { ros2: true })));
  result.topics[channel.topic] = {
    type: schema.name,
    schema_encoding: schema.encoding,
    message_encoding: channel.messageEncoding,
    channel_metadata: Object.fromEntries(channel.metadata),
    count: 0,
    decoded: 0,
    in_log_time_order: true,
  };
}
const lastTime = new Map();
for await (const message of reader.readMessages({ validateCrcs: true })) {
  const topic = result.topics[reader.channelsById.get(message.channelId).topic];
  topic.count += 1;
  const decoded = readers.get(message.channelId).readMessage(message.data);
  topic.decoded += 1;
  if (topic.first === undefined) {
    topic.first = plain(decoded);
  }
  if (lastTime.has(message.channelId) && message.logTime < lastTime.get(message.channelId)) {
    topic.in_log_time_order = false;
  }
  lastTime.set(message.channelId, message.logTime);
}
await handle.close();

const stream = new McapStreamReader({
  decompressHandlers,
  validateCrcs: true,
  includeChunks: true,
});
stream.append(await readFile(bagPath));
for (let record; (record = stream.nextRecord()) !== undefined;) {
  result.records[record.type] = (result.records[record.type] ?? 0) + 1;
}
result.stream_done = stream.done();
process.stdout.write(JSON.stringify(result) + "\n");
