// Verifies one companion signature the way a browser page does: the JSON Web Key answered by
// "key" is imported through Web Crypto as an RS256 verification key, and the signature is checked
// over the bytes of the decoded "payload". Prints "verified" and exits 0, or prints "rejected"
// and exits 1.
//
//   node verify_webcrypto.mjs <file holding the JWK> <payload> <signature>
import { readFileSync } from "node:fs";
import { webcrypto } from "node:crypto";

const [jwkPath, payload, signature] = process.argv.slice(2);
const jwk = JSON.parse(readFileSync(jwkPath, "utf8"));
const algorithm = { name: "RSASSA-PKCS1-v1_5", hash: "SHA-256" };
const key = await webcrypto.subtle.importKey("jwk", jwk, algorithm, false, ["verify"]);
const verified = await webcrypto.subtle.verify(
  algorithm,
  key,
  Buffer.from(signature, "base64url"),
  Buffer.from(payload, "base64url"),
);
console.log(verified ? "verified" : "rejected");
process.exit(verified ? 0 : 1);
