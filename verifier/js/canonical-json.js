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

const isPlain = (e) => e >= -5 && e <= 15;

// The text of a double's digits (d1 d2 ... dn, as a string) whose first digit stands at 10^e,
// placed as the companion places them.
function layOut(digits, e) {
  const n = digits.length;
  if (!isPlain(e)) {
    const fraction = n > 1 ? `.${digits.slice(1)}` : '';
    return `${digits[0]}${fraction}e${e < 0 ? '-' : '+'}${Math.abs(e)}`;
  }
  if (e >= n - 1) return `${digits}${'0'.repeat(e + 1 - n)}.0`;
  if (e < 0) return `0.${'0'.repeat(-e - 1)}${digits}`;
  return `${digits.slice(0, e + 1)}.${digits.slice(e + 1)}`;
}

// What the reader makes of layOut(digits, e): the digits at their own place, except in the plain
// layout without fraction digits, whose zeros and ".0" are digits to the reader too.
function readBack(digits, e) {
  const n = digits.length;
  if (isPlain(e) && e >= n - 1) return scale(BigInt(digits) * 10n ** BigInt(e - n + 2), -1);
  return scale(BigInt(digits), e - n + 1);
}

// The reader's value of significand * 10^exponent; an overflow lies above every double.
const readValue = (significand, exponent) => scale(significand, exponent) ?? Infinity;

// x / 10^exponent rounded to an integer, ties to even, exactly, held at the largest significand.
function nearestSignificand(x, exponent) {
  const view = new DataView(new ArrayBuffer(8));
  view.setFloat64(0, x);
  const bits = view.getBigUint64(0);
  const biased = Number(bits >> 52n);
  const fraction = bits & ((1n << 52n) - 1n);
  let numerator = biased === 0 ? fraction : fraction | (1n << 52n);
  const twoPower = biased === 0 ? -1074 : biased - 1075;
  let denominator = 1n;
  if (twoPower >= 0)
    numerator <<= BigInt(twoPower);
  else
    denominator <<= BigInt(-twoPower);
  if (exponent >= 0)
    denominator *= 10n ** BigInt(exponent);
  else
    numerator *= 10n ** BigInt(-exponent);
  let quotient = numerator / denominator;
  const twiceRest = 2n * (numerator % denominator);
  if (twiceRest > denominator || (twiceRest === denominator && (quotient & 1n) === 1n)) quotient++;
  return quotient > U64_MAX ? U64_MAX : quotient;
}

// The significand the reader takes, at exponent, back to x exactly that is nearest to nearest;
// null when there is none. The reader's value never falls as the significand grows, so such
// significands form one run: gallop from nearest towards x, then halve the step.
function runMember(x, nearest, exponent) {
  const at = readValue(nearest, exponent);
  if (at === x) return nearest;
  const up = at < x;
  const past = (significand) => {
    const value = readValue(significand, exponent);
    return up ? value >= x : value <= x;
  };
  let shortOf = nearest;
  let beyond;
  for (let step = 1n;; step *= 2n) {
    const room = up ? U64_MAX - shortOf : shortOf - 1n;
    if (room === 0n) return null;
    const move = step < room ? step : room;
    beyond = up ? shortOf + move : shortOf - move;
    if (past(beyond)) break;
    shortOf = beyond;
  }
  while ((up ? beyond - shortOf : shortOf - beyond) > 1n) {
    const middle = up ? shortOf + (beyond - shortOf) / 2n : beyond + (shortOf - beyond) / 2n;
    if (past(middle))
      beyond = middle;
    else
      shortOf = middle;
  }
  return readValue(beyond, exponent) === x ? beyond : null;
}

// For a magnitude whose correctly rounded shortest digits the reader takes to another double: the
// fewest digits the reader takes back to it (trailing zeros kept), nearest to it among those,
// trying exponents from the largest; null for a magnitude that no text reads as.
function digitsTheReaderTakesBack(x) {
  const leading = Number(x.toExponential(24).split('e')[1]);
  for (let exponent = leading + 1; exponent > leading - 20; exponent--) {
    const nearest = exponent > leading ? 1n : nearestSignificand(x, exponent);
    const significand = runMember(x, nearest, exponent);
    if (significand === null) continue;
    const digits = significand.toString();
    const first = exponent + digits.length - 1;
    // The plain layout has no text for digits above the units: "1.0" is always read as 10e-1.
    if (isPlain(first) && exponent >= 0) continue;
    return [digits, first];
  }
  return null;
}

// The shortest digits that read back as x, placed as the companion places them: those of a
// correctly rounded conversion when the companion's reader takes them back to x as well, else the
// fewest digits that reader takes back to x.
function writeDouble(x) {
  if (x === 0) return Object.is(x, -0) ? '-0.0' : '0.0';
  const sign = x < 0 ? '-' : '';
  const magnitude = Math.abs(x);
  const [mantissa, power] = magnitude.toExponential().split('e');
  let digits = mantissa.replace('.', '');
  let e = Number(power);
  if (readBack(digits, e) !== magnitude) [digits, e] = digitsTheReaderTakesBack(magnitude) ?? [digits, e];
  return sign + layOut(digits, e);
}

/**
 * A value read by readWireJson as plain JavaScript values: objects, arrays, strings, booleans,
 * null, and numbers holding the companion's own doubles (integers beyond 2^53 are rounded).
 */
export function plainValue(value) {
  if (value instanceof WireNumber) return Number(value.value);
  if (Array.isArray(value)) return value.map(plainValue);
  if (value instanceof Map) {
    return Object.fromEntries([...value].map(([name, member]) => [name, plainValue(member)]));
  }
  return value;
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
