// The companion's JSON wire form, read and written exactly as the companion does, so that the
// verifier can tell whether signed bytes are the one canonical text of their value. JSON.parse is
// not enough for that: it holds every number as a double, while the companion keeps integers of
// up to 64 bits exact and reads decimals with its own conversion (two roundings: the significand
// to a double, then one scaling by a power of ten). Both are reproduced here with BigInt and
// plain double arithmetic, so the canonical check is exact for every number.

const U64_MAX = 18446744073709551615n;
const NEGATIVE_LIMIT = 9223372036854775808n;  // magnitude of the smallest 64-bit integer
const EXPONENT_LIMIT = 2147483647;
const MAX_POWER = 308;
const MAX_DEPTH = 127;
// POWERS[k] is the double nearest to 10^k.
const POWERS = Array.from({length: MAX_POWER + 1}, (_, k) => Number(`1e${k}`));

/** A number as the companion holds it: an exact unsigned or negative integer, or a double. */
export class WireNumber {
  constructor(form, value) {
    this.form = form;    // "unsigned" | "negative" | "double"
    this.value = value;  // BigInt for the integer forms, a finite number for "double"
  }
}

class ParseFailure extends Error {}

const SIMPLE_ESCAPES = {
  '"': '"',
  '\\': '\\',
  '/': '/',
  b: '\b',
  f: '\f',
  n: '\n',
  r: '\r',
  t: '\t'
};

const isDigit = (c) => c >= 0x30 && c <= 0x39;

function integerValue(magnitude, negative) {
  if (!negative) return new WireNumber('unsigned', magnitude);
  if (magnitude >= 1n && magnitude <= NEGATIVE_LIMIT) return new WireNumber('negative', -magnitude);
  return new WireNumber('double', -Number(magnitude));
}

function scale(significand, exponent) {
  let d = Number(significand);
  while (exponent > MAX_POWER || exponent < -MAX_POWER) {
    if (d === 0) return d;
    if (exponent > 0) return null;
    d /= 1e308;
    exponent += MAX_POWER;
  }
  if (exponent >= 0) {
    d *= POWERS[exponent];
    return Number.isFinite(d) ? d : null;
  }
  return d / POWERS[-exponent];
}

const saturate = (e) => Math.min(Math.max(e, -EXPONENT_LIMIT - 1), EXPONENT_LIMIT);

class Reader {
  constructor(text) {
    this.text = text;
    this.at = 0;
    this.depth = MAX_DEPTH;
  }

  fail() { throw new ParseFailure(); }

  code() { return this.at < this.text.length ? this.text.charCodeAt(this.at) : -1; }

  skipSpace() {
    for (;;) {
      const c = this.code();
      if (c !== 0x20 && c !== 0x09 && c !== 0x0a && c !== 0x0d) return;
      this.at++;
    }
  }

  expect(c) {
    this.skipSpace();
    if (this.code() !== c) this.fail();
    this.at++;
  }

  value() {
    this.skipSpace();
    const c = this.code();
    if (c === 0x7b) return this.object();
    if (c === 0x5b) return this.array();
    if (c === 0x22) return this.string();
    if (c === 0x2d || isDigit(c)) return this.number();
    for (const [word, value] of [['true', true], ['false', false], ['null', null]]) {
      if (this.text.startsWith(word, this.at)) {
        this.at += word.length;
        return value;
      }
    }
    return this.fail();
  }

  enter() {
    if (this.depth === 0) this.fail();
    this.depth--;
    this.at++;
    this.skipSpace();
  }

  array() {
    this.enter();
    const elements = [];
    if (this.code() !== 0x5d) {
      do elements.push(this.value());
      while (this.comma());
    }
    this.expect(0x5d);
    this.depth++;
    return elements;
  }

  object() {
    this.enter();
    // A repeated name keeps its last value, as in the companion.
    const members = new Map();
    if (this.code() !== 0x7d) {
      do {
        this.skipSpace();
        if (this.code() !== 0x22) this.fail();
        const name = this.string();
        this.expect(0x3a);
        members.set(name, this.value());
      } while (this.comma());
    }
    this.expect(0x7d);
    this.depth++;
    return members;
  }

  comma() {
    this.skipSpace();
    if (this.code() !== 0x2c) return false;
    this.at++;
    return true;
  }

  hex4() {
    const digits = this.text.slice(this.at, this.at + 4);
    if (!/^[0-9A-Fa-f]{4}$/.test(digits)) this.fail();
    this.at += 4;
    return parseInt(digits, 16);
  }

  string() {
    this.at++;
    let out = '';
    for (;;) {
      const c = this.code();
      if (c === -1 || c < 0x20) this.fail();
      this.at++;
      if (c === 0x22) return out;
      if (c !== 0x5c) {
        out += this.text[this.at - 1];
        continue;
      }
      const escape = this.text[this.at++];
      if (Object.hasOwn(SIMPLE_ESCAPES, escape)) {
        out += SIMPLE_ESCAPES[escape];
      } else if (escape === 'u') {
        const unit = this.hex4();
        if (unit >= 0xdc00 && unit <= 0xdfff) this.fail();
        if (unit >= 0xd800 && unit <= 0xdbff) {
          if (this.text[this.at] !== '\\' || this.text[this.at + 1] !== 'u') this.fail();
          this.at += 2;
          const low = this.hex4();
          if (low < 0xdc00 || low > 0xdfff) this.fail();
          out += String.fromCharCode(unit, low);
        } else {
          out += String.fromCharCode(unit);
        }
      } else {
        this.fail();
      }
    }
  }

  digit() {
    const c = this.code();
    if (!isDigit(c)) return -1;
    this.at++;
    return c - 0x30;
  }

  number() {
    const negative = this.code() === 0x2d;
    if (negative) this.at++;
    if (!isDigit(this.code())) this.fail();
    let significand = 0n;
    let exponent = 0;
    let overflowed = false;
    const append = (d) => {
      const next = significand * 10n + BigInt(d);
      if (next > U64_MAX) return false;
      significand = next;
      return true;
    };
    if (this.code() === 0x30) {
      this.at++;
      if (isDigit(this.code())) this.fail();
    }
    for (let d; (d = this.digit()) >= 0;) {
      // Digits beyond 64 bits are dropped; each still counts as a power of ten.
      if (overflowed || !append(d)) {
        overflowed = true;
        exponent++;
      }
    }
    let isInteger = true;
    if (this.code() === 0x2e) {
      isInteger = false;
      this.at++;
      if (!isDigit(this.code())) this.fail();
      let full = overflowed;
      for (let d; (d = this.digit()) >= 0;) {
        if (!full && append(d))
          exponent--;
        else
          full = true;
      }
    }
    if (this.code() === 0x65 || this.code() === 0x45) {
      isInteger = false;
      this.at++;
      const sign = this.code();
      const exponentNegative = sign === 0x2d;
      if (sign === 0x2b || sign === 0x2d) this.at++;
      if (!isDigit(this.code())) this.fail();
      let written = 0;
      for (let d; (d = this.digit()) >= 0;) {
        written = written * 10 + d;
        if (written <= EXPONENT_LIMIT) continue;
        if (significand !== 0n && !exponentNegative) this.fail();
        while (this.digit() >= 0)
          ;
        return new WireNumber('double', negative ? -0 : 0);
      }
      exponent = saturate(saturate(exponent) + (exponentNegative ? -written : written));
    }
    if (isInteger && !overflowed) return integerValue(significand, negative);
    const magnitude = scale(significand, saturate(exponent));
    if (magnitude === null) this.fail();
    return new WireNumber('double', negative ? -magnitude : magnitude);
  }
}

/**
 * The value of one complete JSON text as the companion reads it: objects as Maps, numbers as
 * WireNumbers. Null when the text is not exactly one JSON value.
 */
export function readWireJson(text) {
  const reader = new Reader(text);
  try {
    const value = reader.value();
    reader.skipSpace();
    return reader.at === text.length ? {value} : null;
  } catch (failure) {
    if (failure instanceof ParseFailure) return null;
    throw failure;
  }
}

// Code point order, which is the byte order of the names' UTF-8: UTF-16 units order the same
// except that surrogates (code points above U+FFFF) must come after U+E000..U+FFFF.
function unitRank(unit) {
  if (unit >= 0xe000) return unit - 0x800;
  if (unit >= 0xd800) return unit + 0x2000;
  return unit;
}

export function compareNames(a, b) {
  const length = Math.min(a.length, b.length);
  for (let i = 0; i < length; i++) {
    const x = a.charCodeAt(i);
    const y = b.charCodeAt(i);
    if (x !== y) return unitRank(x) - unitRank(y);
  }
  return a.length - b.length;
}

const NAMED_ESCAPES = {
  0x22: '\\"',
  0x5c: '\\\\',
  0x08: '\\b',
  0x09: '\\t',
  0x0a: '\\n',
  0x0c: '\\f',
  0x0d: '\\r'
};

function writeString(text) {
  let out = '"';
  for (let i = 0; i < text.length; i++) {
    const unit = text.charCodeAt(i);
    if (unit in NAMED_ESCAPES)
      out += NAMED_ESCAPES[unit];
    else if (unit < 0x20)
      out += `\\u00${unit.toString(16).padStart(2, '0')}`;
    else
      out += text[i];
  }
  return `${out}"`;
}

// The shortest digits that read back as x, placed as the companion places them.
function writeDouble(x) {
  if (x === 0) return Object.is(x, -0) ? '-0.0' : '0.0';
  const sign = x < 0 ? '-' : '';
  const [mantissa, power] = Math.abs(x).toExponential().split('e');
  const digits = mantissa.replace('.', '');
  const n = digits.length;
  const e = Number(power);
  if (e < -5 || e > 15) {
    const fraction = n > 1 ? `.${digits.slice(1)}` : '';
    return `${sign}${digits[0]}${fraction}e${e < 0 ? '-' : '+'}${Math.abs(e)}`;
  }
  if (e >= n - 1) return `${sign}${digits}${'0'.repeat(e + 1 - n)}.0`;
  if (e < 0) return `${sign}0.${'0'.repeat(-e - 1)}${digits}`;
  return `${sign}${digits.slice(0, e + 1)}.${digits.slice(e + 1)}`;
}

/** The companion's canonical text of a value read by readWireJson. */
export function writeWireJson(value) {
  if (value === null) return 'null';
  if (value === true) return 'true';
  if (value === false) return 'false';
  if (typeof value === 'string') return writeString(value);
  if (value instanceof WireNumber) {
    return value.form === 'double' ? writeDouble(value.value) : value.value.toString();
  }
  if (Array.isArray(value)) return `[${value.map(writeWireJson).join(',')}]`;
  const names = [...value.keys()].sort(compareNames);
  return `{${
      names.map((name) => `${writeString(name)}:${writeWireJson(value.get(name))}`).join(',')}}`;
}
