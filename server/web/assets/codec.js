// The chat protocol's records in JavaScript, and code page 1252.
//
// Byte layout of one record (numbers little-endian):
//   01                      start of list
//   06 08 "KLVR8002"        the magic as a text (0C 08 00 00 00 "KLVR8002" also read)
//   <int> version, code, from   02 b | 03 b b | 04 b b b b
//   <text> param1, param2   06 L bytes (L <= 255) | 0C L L L L bytes
//   <bool> switch           09 true, 08 false (any byte but 09 reads false)
//   00                      end of list
// Records follow one another with no other framing; a WebSocket message may
// hold any part of the stream.
(function (root) {
  "use strict";

  const Codes = {
    KMS_LOGIN: 0, KMS_QUIT: 1, KMS_GETPOST: 2, KMS_USER: 3, KMS_QUITCHAT: 4, KMS_PING: 5,
    KMS_JOIN: 6, KMS_CREATE: 7, KMS_CHATDATA: 8, KMS_MESSAGE: 9, KMS_INVITE: 10,
    KMS_SERVERNICK: 11,
    KMC_STATUS: 100, KMC_ADDCHAT: 101, KMC_ADDUSER: 102, KMC_DELCHAT: 103, KMC_DELUSER: 104,
    KMC_SERVERNICK: 105, KMC_BADNICK: 106, KMC_NICKINUSE: 107, KMC_BANNED: 108, KMC_OKAY: 109,
    KMC_KICK: 110, KMC_MESSAGE: 111, KMC_JOINED: 112, KMC_CHATDATA: 113, KMC_INVITE: 114,
    KMC_BYE: 115, KMC_PING: 116, KMC_BADPASS: 117,
  };

  const MAGIC = [0x4b, 0x4c, 0x56, 0x52, 0x38, 0x30, 0x30, 0x32]; // "KLVR8002"
  const MAX_RECORD = 1024 * 1024;

  // Bytes 0x80 to 0x9F; the five unassigned ones keep the control character
  // of the same number, so every byte survives a round trip.
  const HIGH = [
    0x20ac, 0x0081, 0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021, 0x02c6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008d, 0x017d, 0x008f, 0x0090, 0x2018, 0x2019, 0x201c, 0x201d, 0x2022,
    0x2013, 0x2014, 0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0x009d, 0x017e, 0x0178,
  ];
  const TO_BYTE = new Map(HIGH.map((u, i) => [u, 0x80 + i]));

  // Text to code page 1252. Characters it cannot hold become "?"; the
  // result says how many there were.
  function encodeText(text) {
    const out = [];
    let unsendable = 0;
    for (const ch of String(text)) {
      const u = ch.codePointAt(0);
      if (u < 0x80 || (u >= 0xa0 && u <= 0xff)) out.push(u);
      else if (TO_BYTE.has(u)) out.push(TO_BYTE.get(u));
      else {
        out.push(0x3f);
        unsendable++;
      }
    }
    return { bytes: Uint8Array.from(out), unsendable };
  }

  function decodeText(bytes) {
    let s = "";
    for (let i = 0; i < bytes.length; i++) {
      const b = bytes[i];
      s += String.fromCharCode(b >= 0x80 && b <= 0x9f ? HIGH[b - 0x80] : b);
    }
    return s;
  }

  function pushInt(out, v) {
    if (v >= -128 && v <= 127) out.push(0x02, v & 0xff);
    else if (v >= -32768 && v <= 32767) out.push(0x03, v & 0xff, (v >> 8) & 0xff);
    else out.push(0x04, v & 0xff, (v >> 8) & 0xff, (v >> 16) & 0xff, (v >>> 24) & 0xff);
  }

  function pushText(out, bytes) {
    const n = bytes.length;
    if (n <= 255) out.push(0x06, n);
    else out.push(0x0c, n & 0xff, (n >> 8) & 0xff, (n >> 16) & 0xff, (n >>> 24) & 0xff);
    for (let i = 0; i < n; i++) out.push(bytes[i]);
  }

  // A record's bytes; texts as strings (converted here) or byte arrays.
  function encodeRecord(code, param1, param2, sw) {
    const p1 = param1 instanceof Uint8Array ? { bytes: param1, unsendable: 0 } : encodeText(param1 || "");
    const p2 = param2 instanceof Uint8Array ? { bytes: param2, unsendable: 0 } : encodeText(param2 || "");
    const out = [0x01, 0x06, 0x08, ...MAGIC];
    pushInt(out, 0);
    pushInt(out, code);
    pushInt(out, 0);
    pushText(out, p1.bytes);
    pushText(out, p2.bytes);
    out.push(sw ? 0x09 : 0x08, 0x00);
    return { bytes: Uint8Array.from(out), unsendable: p1.unsendable + p2.unsendable };
  }

  class NeedMore extends Error {}
  class NotRecord extends Error {}

  // One record at the front of bytes: {record, used}; throws NeedMore or NotRecord.
  function decodeOne(bytes) {
    let pos = 0;
    const need = (n) => {
      if (pos + n > bytes.length) throw new NeedMore();
    };
    const byte = () => {
      need(1);
      return bytes[pos++];
    };
    const readInt = () => {
      const tag = byte();
      if (tag === 0x02) {
        need(1);
        return (bytes[pos++] << 24) >> 24;
      }
      if (tag === 0x03) {
        need(2);
        const v = bytes[pos] | (bytes[pos + 1] << 8);
        pos += 2;
        return (v << 16) >> 16;
      }
      if (tag === 0x04) {
        need(4);
        const v = bytes[pos] | (bytes[pos + 1] << 8) | (bytes[pos + 2] << 16) | (bytes[pos + 3] << 24);
        pos += 4;
        return v;
      }
      throw new NotRecord();
    };
    const readText = () => {
      const tag = byte();
      let n;
      if (tag === 0x06) n = byte();
      else if (tag === 0x0c) {
        need(4);
        n = (bytes[pos] | (bytes[pos + 1] << 8) | (bytes[pos + 2] << 16) | (bytes[pos + 3] << 24)) >>> 0;
        pos += 4;
      } else throw new NotRecord();
      if (n > MAX_RECORD) throw new NotRecord();
      need(n);
      const t = bytes.subarray(pos, pos + n);
      pos += n;
      return t;
    };
    if (byte() !== 0x01) throw new NotRecord();
    const magic = readText();
    if (magic.length !== 8 || MAGIC.some((m, i) => magic[i] !== m)) throw new NotRecord();
    const version = readInt();
    const code = readInt();
    const from = readInt();
    const param1 = readText();
    const param2 = readText();
    const sw = byte() === 0x09;
    if (byte() !== 0x00) throw new NotRecord();
    return { record: { version, code, from, param1, param2, sw }, used: pos };
  }

  // Reassembles records from the stream, whatever the pieces look like.
  // Bytes that are not a record are skipped up to the next record start.
  class StreamDecoder {
    constructor() {
      this.buffer = new Uint8Array(0);
      this.skipped = 0;
    }
    push(chunk) {
      const data = chunk instanceof Uint8Array ? chunk : new Uint8Array(chunk);
      if (this.buffer.length === 0) this.buffer = data.slice();
      else {
        const joined = new Uint8Array(this.buffer.length + data.length);
        joined.set(this.buffer);
        joined.set(data, this.buffer.length);
        this.buffer = joined;
      }
      const records = [];
      let at = 0;
      while (at < this.buffer.length) {
        try {
          const { record, used } = decodeOne(this.buffer.subarray(at));
          records.push(record);
          at += used;
        } catch (e) {
          if (e instanceof NeedMore && this.buffer.length - at <= MAX_RECORD + 32) break;
          let next = at + 1;
          while (next < this.buffer.length && this.buffer[next] !== 0x01) next++;
          this.skipped += next - at;
          at = next;
        }
      }
      this.buffer = this.buffer.slice(at);
      return records;
    }
  }

  const api = { Codes, encodeText, decodeText, encodeRecord, StreamDecoder, MAX_RECORD };
  if (typeof module === "object" && module.exports) module.exports = api;
  else root.KelvraCodec = api;
})(typeof window !== "undefined" ? window : globalThis);
