// The golden vectors through the JavaScript verifier: every case gives exactly its recorded
// outcome, and REASONS is the vectors' reason list, text for text and in order.
import './web-crypto.js';

import assert from 'node:assert/strict';
import {readFileSync} from 'node:fs';
import {test} from 'node:test';

import {REASONS, verifySignature} from '../verify-signature.js';

const vectors =
    JSON.parse(readFileSync(new URL('../../vectors/vectors.json', import.meta.url), 'utf8'));

test('REASONS is the vectors\' reason list', () => {
  assert.deepEqual([...REASONS], vectors.reasons);
});

test('every vector gives its recorded outcome', async () => {
  assert.ok(vectors.cases.length >= 60);
  for (const vector of vectors.cases) {
    const result = await verifySignature(vector.key, vector.signResult, vector.expect);
    const outcome = result.ok ? {
      ok: true,
      keyId: result.keyId,
      payloadBytes: new TextDecoder().decode(result.payloadBytes),
      purpose: result.purpose,
    } :
                                {ok: false, reason: result.reason};
    assert.deepEqual(outcome, vector.outcome, vector.case);
    if (!result.ok) continue;
    if (vector.doubles === undefined) {
      assert.deepEqual(result.payload, JSON.parse(vector.outcome.payloadBytes), vector.case);
      continue;
    }
    // The doubles handed back are those the signer held, not JSON.parse's readings of the text.
    const view = new DataView(new ArrayBuffer(8));
    const bits = result.payload.x.map((x) => {
      view.setFloat64(0, x);
      return view.getBigUint64(0).toString(16).padStart(16, '0');
    });
    assert.deepEqual(bits, vector.doubles, vector.case);
  }
});

test('expectations of the wrong type are a caller\'s error, not a refusal', async () => {
  const [first] = vectors.cases;
  await assert.rejects(verifySignature(first.key, first.signResult, {nonce: 7}), TypeError);
  await assert.rejects(verifySignature(first.key, first.signResult, {keyId: null}), TypeError);
});
