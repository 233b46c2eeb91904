// The companion's wire form in JavaScript: texts read and written back exactly as the companion
// does, including the numbers a plain JSON.parse would get wrong.
import assert from 'node:assert/strict';
import {test} from 'node:test';

import {compareNames, readWireJson, writeWireJson} from '../canonical-json.js';

const rewrite = (text) => {
  const read = readWireJson(text);
  return read === null ? null : writeWireJson(read.value);
};

test('numbers take the companion\'s one form', () => {
  const cases = [
    ['0', '0'],
    ['-0', '-0.0'],
    ['1.0', '1.0'],
    ['1e2', '100.0'],
    ['1E+2', '100.0'],
    ['0.10', '0.1'],
    ['18446744073709551615', '18446744073709551615'],
    ['18446744073709551616', '1.8446744073709552e+19'],
    ['-9223372036854775808', '-9223372036854775808'],
    ['-9223372036854775809', '-9.223372036854776e+18'],
    ['123456789012345678', '123456789012345678'],
    ['1e21', '1e+21'],
    ['1e16', '1e+16'],
    ['1e15', '1000000000000000.0'],
    ['0.000001', '1e-6'],
    ['0.00001', '0.00001'],
    ['1.5e-7', '1.5e-7'],
    ['0.000015', '0.000015'],
    ['123.456', '123.456'],
    // Sixteen nines round up as a significand before the scaling.
    ['999999999999999.9', '1000000000000000.0'],
    // The correctly rounded digits, 1.0000000000000001e-39, would read back as another double.
    ['0.000000000000000000000000000000000000001', '1e-39'],
    ['2.2250738585072011e-308', '2.2250738585072014e-308'],
    ['123456789.123456789e-5', '1234.567891234568'],
    ['5e-324', '5e-324'],
    ['1.5e300', '1.5e+300'],
    ['1e-400', '0.0'],
    ['-1e-400', '-0.0'],
    ['0e99999999999', '0.0'],
    ['1e-99999999999', '0.0'],
    // Two roundings: a correctly rounded reading would give 9007199254740992.
    ['9007199254740993.0', '9007199254740994.0'],
    // Integer digits past 64 bits count as powers of ten; fraction digits after them are dropped.
    ['184467440737095516199.5', '1.844674407370955e+20'],
  ];
  for (const [text, written] of cases) assert.equal(rewrite(text), written, text);
});

// Doubles whose correctly rounded shortest digits the companion's reader, rounding twice, takes
// to a neighbour are written in the fewest digits it takes back to them.
test('doubles are written in digits the companion\'s reader takes back to them', () => {
  const cases = [
    ['1e-24', '1e-24'],
    ['-1e-24', '-1e-24'],
    ['4e-25', '4e-25'],
    ['1e-307', '1e-307'],
    ['3e49', '3e+49'],
    // The trailing zero is kept: the reader takes "1e-24" to another double.
    ['1.0000000000000001e-24', '1.0e-24'],
  ];
  for (const [text, written] of cases) assert.equal(rewrite(text), written, text);
});

const bitsOf = (x) => {
  const view = new DataView(new ArrayBuffer(8));
  view.setFloat64(0, x);
  return view.getBigUint64(0);
};

// Every double written reads back as itself and is written again the same, which is what the
// canonical check needs: doubles read from every "mEn" for m of 1 to 99, and from the texts
// JavaScript itself writes for arbitrary doubles (as a browser sends them).
test('every double written reads back as itself', () => {
  const texts = [];
  for (let m = 1; m <= 99; m++) {
    for (let n = -345; n <= 308; n++) texts.push(`${m}e${n}`);
  }
  // Positive finite bit patterns from a fixed xorshift sequence, the same on every run.
  const view = new DataView(new ArrayBuffer(8));
  let state = 0x2545f4914f6cdd1dn;
  const next = () => {
    state ^= (state << 13n) & 0xffffffffffffffffn;
    state ^= state >> 7n;
    state ^= (state << 17n) & 0xffffffffffffffffn;
    return state;
  };
  for (let added = 0; added < 20000;) {
    view.setBigUint64(0, next() >> 1n);
    const x = view.getFloat64(0);
    if (!Number.isFinite(x)) continue;
    texts.push(x.toExponential());
    added++;
  }
  let rewritten = 0;
  for (const text of texts) {
    const read = readWireJson(text);
    if (read === null) continue;
    const x = read.value.value;
    const written = writeWireJson(read.value);
    const back = readWireJson(written);
    assert.equal(bitsOf(back.value.value), bitsOf(x), `${text} written ${written}`);
    assert.equal(writeWireJson(back.value), written, text);
    if (readWireJson(x.toExponential()).value.value !== x) rewritten++;
  }
  assert.ok(rewritten > 5000, `only ${rewritten} doubles needed other digits`);
});

test('strings take the companion\'s escapes', () => {
  const cases = [
    ['"\\u00e9"', '"é"'],
    ['"\\/"', '"/"'],
    ['"\\u001F"', '"\\u001f"'],
    ['"\\u000b\\u0000"', '"\\u000b\\u0000"'],
    ['"\\b\\f\\n\\r\\t\\"\\\\"', '"\\b\\f\\n\\r\\t\\"\\\\"'],
    ['"\u007f\u2028"', '"\u007f\u2028"'],
    ['"\\ud83d\\ude00"', '"😀"'],
  ];
  for (const [text, written] of cases) assert.equal(rewrite(text), written, text);
});

test('objects are written in the byte order of their names, a repeated name once', () => {
  assert.equal(rewrite('{"b":1,"a":[true,null]}'), '{"a":[true,null],"b":1}');
  assert.equal(rewrite('{ "a" : 1 }'), '{"a":1}');
  assert.equal(rewrite('{"a":1,"a":2}'), '{"a":2}');
  assert.equal(rewrite('{"aa":0,"é":0,"B":0,"a":0}'), '{"B":0,"a":0,"aa":0,"é":0}');
  // U+FFFD sorts before U+1F600 in UTF-8, though not in UTF-16 code units.
  assert.ok(compareNames('\ufffd', '😀') < 0);
  assert.ok(compareNames('a', 'aa') < 0);
});

test('texts the companion refuses are refused', () => {
  const refused = [
    '',
    ' ',
    '{} x',
    '{}{}',
    '[1,]',
    '{"a":1,}',
    '01',
    '-',
    '1.',
    '.5',
    '+1',
    '1e',
    'NaN',
    '\'a\'',
    '\ufeff{}',
    '1e400',
    '1e99999999999',
    '"\\udc00"',
    '"\\ud800"',
    '"\\ud800x"',
    '"\\ud800\\u0041"',
    '"a\tb"',
    '"\\x"',
    '"\\u00g0"',
    'tru',
    'nul',
    '{"a" 1}',
    '[1 2]',
    '{1:2}',
    '"abc',
  ];
  for (const text of refused) assert.equal(readWireJson(text), null, JSON.stringify(text));
  assert.equal(rewrite('\t{}\r\n '), '{}');
});

test('nesting stops at 127 open arrays and objects', () => {
  assert.notEqual(readWireJson('['.repeat(127) + ']'.repeat(127)), null);
  assert.equal(readWireJson('['.repeat(128) + ']'.repeat(128)), null);
  assert.notEqual(
      readWireJson(
          '{"a":'.repeat(127) + '1' +
          '}'.repeat(127)),
      null);
  assert.equal(
      readWireJson('{"a":'.repeat(64) + '['.repeat(64) + ']'.repeat(64) + '}'.repeat(64)), null);
});
