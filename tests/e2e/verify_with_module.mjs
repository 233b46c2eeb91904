// Runs the JavaScript verifier on two files holding what "key" and "sign" answered (whole response
// lines or their results) and prints its outcome as one JSON line: {"ok":true,"payload":TEXT,
// "keyId":…,"purpose":…} with the signed bytes as text, or {"ok":false,"reason":…}. When the
// payload holds an array "x", "xBits" follows with the bits of each of its numbers handed back
// (16 hexadecimal digits each).
//   node verify_with_module.mjs KEY_FILE SIGN_FILE [EXPECTATIONS_JSON]
import {webcrypto} from 'node:crypto';
import {readFileSync} from 'node:fs';

globalThis.crypto ??= webcrypto;
const {verifySignature} = await import('../../verifier/js/verify-signature.js');

const [keyPath, signPath, expectations = '{}'] = process.argv.slice(2);
const read = (path) => JSON.parse(readFileSync(path, 'utf8'));
const result = await verifySignature(read(keyPath), read(signPath), JSON.parse(expectations));
const bitsOf = (x) => {
  const view = new DataView(new ArrayBuffer(8));
  view.setFloat64(0, x);
  return view.getBigUint64(0).toString(16).padStart(16, '0');
};
console.log(
    JSON.stringify(
        result.ok ? {
          ok: true,
          payload: new TextDecoder().decode(result.payloadBytes),
          keyId: result.keyId,
          purpose: result.purpose,
          ...(Array.isArray(result.payload.x) ? {xBits: result.payload.x.map(bitsOf)} : {}),
        } :
                    {ok: false, reason: result.reason},
        ),
);
