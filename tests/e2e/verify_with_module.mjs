// Runs the JavaScript verifier on two files holding what "key" and "sign" answered (whole response
// lines or their results) and prints its outcome as one JSON line: {"ok":true,"payload":TEXT,
// "keyId":…,"purpose":…} with the signed bytes as text, or {"ok":false,"reason":…}.
//   node verify_with_module.mjs KEY_FILE SIGN_FILE [EXPECTATIONS_JSON]
import {webcrypto} from 'node:crypto';
import {readFileSync} from 'node:fs';

globalThis.crypto ??= webcrypto;
const {verifySignature} = await import('../../verifier/js/verify-signature.js');

const [keyPath, signPath, expectations = '{}'] = process.argv.slice(2);
const read = (path) => JSON.parse(readFileSync(path, 'utf8'));
const result = await verifySignature(read(keyPath), read(signPath), JSON.parse(expectations));
console.log(
    JSON.stringify(
        result.ok ? {
          ok: true,
          payload: new TextDecoder().decode(result.payloadBytes),
          keyId: result.keyId,
          purpose: result.purpose
        } :
                    {ok: false, reason: result.reason},
        ),
);
