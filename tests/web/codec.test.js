// The page's record codec against the documented byte examples.
const test = require("node:test");
const assert = require("node:assert");
const path = require("node:path");
const codec = require(path.join(__dirname, "../../server/web/assets/codec.js"));
const { Codes, encodeRecord, encodeText, decodeText, StreamDecoder } = codec;

const hex = (bytes) => Buffer.from(bytes).toString("hex").replace(/(..)(?!$)/g, "$1 ");
const bytesOf = (text) => Uint8Array.from(Buffer.from(text.replace(/ /g, ""), "hex"));

test("records are written as the server writes them", () => {
  assert.strictEqual(hex(encodeRecord(116).bytes),
    "01 06 08 4b 4c 56 52 38 30 30 32 02 00 02 74 02 00 06 00 06 00 08 00");
  assert.strictEqual(hex(encodeRecord(Codes.KMS_LOGIN, "bob", "3").bytes),
    "01 06 08 4b 4c 56 52 38 30 30 32 02 00 02 00 02 00 06 03 62 6f 62 06 01 33 08 00");
  // 256 bytes take the long text form; the switch is the last value.
  const long = encodeRecord(Codes.KMS_CHATDATA, "x".repeat(256), "", true).bytes;
  assert.strictEqual(hex(long.subarray(17, 22)), "0c 00 01 00 00");
  assert.deepStrictEqual([...long.subarray(-4)], [0x06, 0x00, 0x09, 0x00]);
});

test("code page 1252 both ways, and what cannot be sent is counted", () => {
  const { bytes, unsendable } = encodeText("€ café – ok");
  assert.strictEqual(hex(bytes), "80 20 63 61 66 e9 20 96 20 6f 6b");
  assert.strictEqual(unsendable, 0);
  assert.strictEqual(decodeText(bytes), "€ café – ok");
  const odd = encodeText("hi 😀 Ω");
  assert.strictEqual(decodeText(odd.bytes), "hi ? ?");
  assert.strictEqual(odd.unsendable, 2);
  // Every byte survives a round trip, the unassigned ones included.
  const all = Uint8Array.from({ length: 256 }, (_, i) => i);
  assert.deepStrictEqual([...encodeText(decodeText(all)).bytes], [...all]);
});

test("the stream decoder takes records in any pieces and skips what is not one", () => {
  const a = encodeRecord(Codes.KMC_CHATDATA, "Lobby", "N<bob> hi").bytes;
  const b = encodeRecord(Codes.KMC_ADDUSER, "ann", "2", true).bytes;
  const stream = new Uint8Array([...a, 0x47, 0x45, 0x54, ...b]);
  for (const piece of [1, 3, 7, stream.length]) {
    const d = new StreamDecoder();
    const got = [];
    for (let i = 0; i < stream.length; i += piece) got.push(...d.push(stream.subarray(i, i + piece)));
    assert.deepStrictEqual(got.map((r) => [r.code, decodeText(r.param1), decodeText(r.param2), r.sw]),
      [[113, "Lobby", "N<bob> hi", false], [102, "ann", "2", true]]);
    assert.strictEqual(d.skipped, 3);
  }
  // Other integer and magic forms are read; a missing end of list is not a record.
  const d = new StreamDecoder();
  const wide = bytesOf("01 0c 08 00 00 00 4b4c565238303032 02 00 04 74 00 00 00 02 00 06 00 06 00 08 00");
  assert.deepStrictEqual(d.push(wide).map((r) => r.code), [116]);
  const cut = bytesOf("01 06 08 4b4c565238303032 02 00 02 74 02 00 06 00 06 00 08 07");
  assert.deepStrictEqual(new StreamDecoder().push(cut), []);
});
