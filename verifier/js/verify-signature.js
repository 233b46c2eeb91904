// The relying party's check of one companion signature, for browsers, Node.js 20+ and Deno: only
// Web Crypto (crypto.subtle), TextEncoder/TextDecoder and atob. The checks, their order and the
// reason texts are those of the C++ verifier; the golden vectors hold both to the same outcomes.
import {plainValue, readWireJson, WireNumber, writeWireJson} from './canonical-json.js';

/** The reason texts, one per check, in the order the checks run. */
export const REASONS = Object.freeze([
  'key is not a JSON object',
  'sign result is not a JSON object',
  'key is not a device key JWK',
  'key modulus is malformed',
  'key id does not match the key',
  'key id is not the expected one',
  'payload is too large',
  'payload is not base64url',
  'signature is not base64url',
  'signature does not verify',
  'payload is not a JSON object',
  'payload is not canonical',
  'protocol is not 1',
  'audience is not ktarn-sealed-browser',
  'purpose is not a signing purpose',
  'purpose is not the expected one',
  'nonce is not the expected one',
]);
const [
  KEY_NOT_OBJECT,
  SIGN_RESULT_NOT_OBJECT,
  KEY_NOT_DEVICE_KEY,
  MODULUS_MALFORMED,
  KEY_ID_MISMATCH,
  KEY_ID_NOT_EXPECTED,
  PAYLOAD_TOO_LARGE,
  PAYLOAD_NOT_BASE64URL,
  SIGNATURE_NOT_BASE64URL,
  SIGNATURE_INVALID,
  PAYLOAD_NOT_OBJECT,
  PAYLOAD_NOT_CANONICAL,
  PROTOCOL_WRONG,
  AUDIENCE_WRONG,
  PURPOSE_UNKNOWN,
  PURPOSE_NOT_EXPECTED,
  NONCE_NOT_EXPECTED,
] = REASONS;

const MODULUS_TEXT_LENGTH = 342;
const MODULUS_BYTES = 256;
const SIGNATURE_BYTES = 256;
// The one limit on what a verifier takes in: the payload text of the largest payload the
// companion signs (32768 bytes) in URL-safe Base64, refused before any of it is decoded or hashed.
const MAX_PAYLOAD_TEXT = 43691;
const AUDIENCE = 'ktarn-sealed-browser';
const PURPOSES = ['challenge', 'request', 'events'];
const RS256 = {
  name: 'RSASSA-PKCS1-v1_5',
  hash: 'SHA-256'
};
const FIXED_MEMBERS = {
  alg: 'RS256',
  attested: false,
  e: 'AQAB',
  kty: 'RSA',
  protection: 'software-provider'
};
const MEMBER_NAMES = ['alg', 'attested', 'e', 'keyId', 'kty', 'n', 'protection'];
const URL_ALPHABET = 'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_';

const isObject = (value) => typeof value === 'object' && value !== null && !Array.isArray(value);

// The object a companion answer stands for: the value itself, or the "result" of a success
// response; nothing for a failure response or anything that is not an object.
function answeredObject(input) {
  if (!isObject(input)) return null;
  if (!Object.hasOwn(input, 'ok')) return input;
  return input.ok === true && isObject(input.result) ? input.result : null;
}

// Strict URL-safe Base64 without padding: only the text the companion writes for some bytes.
function decodeBase64url(text) {
  if (typeof text !== 'string' || text.length % 4 === 1 || !/^[A-Za-z0-9_-]*$/.test(text)) {
    return null;
  }
  const spareBits = [0, 0, 0x0f, 0x03][text.length % 4];
  if (text.length > 0 && (URL_ALPHABET.indexOf(text[text.length - 1]) & spareBits) !== 0)
    return null;
  const binary = atob(text.replaceAll('-', '+').replaceAll('_', '/'));
  return Uint8Array.from(binary, (c) => c.charCodeAt(0));
}

function encodeBase64url(bytes) {
  let text = '';
  for (let i = 0; i < bytes.length; i += 3) {
    const group = (bytes[i] << 16) | ((bytes[i + 1] ?? 0) << 8) | (bytes[i + 2] ?? 0);
    const symbols = Math.min(4, Math.ceil(((bytes.length - i) * 8) / 6));
    for (let k = 0; k < symbols; k++) text += URL_ALPHABET[(group >> (18 - 6 * k)) & 0x3f];
  }
  return text;
}

// Exactly the seven members, the fixed ones with their values: nothing in the key may steer the
// verification towards another algorithm or another key.
function hasDeviceKeyMembers(jwk) {
  const names = Object.keys(jwk).sort();
  return (
      names.length === MEMBER_NAMES.length && names.every((name, i) => name === MEMBER_NAMES[i]) &&
      Object.entries(FIXED_MEMBERS).every(([name, value]) => jwk[name] === value));
}

// The key id is this system's own, the digest of the texts of "n" and "e" joined by a colon;
// deliberately not a JWK thumbprint.
async function keyIdentifier(n, e) {
  const digest = await crypto.subtle.digest('SHA-256', new TextEncoder().encode(`${n}:${e}`));
  return encodeBase64url(new Uint8Array(digest));
}

async function rs256Verifies(n, payload, signature) {
  try {
    const key =
        await crypto.subtle.importKey('jwk', {kty: 'RSA', n, e: 'AQAB'}, RS256, false, ['verify']);
    return await crypto.subtle.verify(RS256, key, signature, payload);
  } catch {
    return false;
  }
}

function optionalText(expectations, name) {
  const value = expectations[name];
  if (value !== undefined && typeof value !== 'string') {
    throw new TypeError(`verifySignature: ${name} must be a string when given`);
  }
  return value;
}

const refused = (reason) => ({ok: false, reason});

/**
 * Verifies one companion signature. jwk is what "key" answered (the JSON Web Key, or the whole
 * response object); signResult likewise for "sign". Resolves to { ok: true, payload,
 * payloadBytes, keyId, purpose } or { ok: false, reason }.
 */
export async function verifySignature(jwk, signResult, expectations = {}) {
  const purposeExpected = optionalText(expectations, 'purpose');
  const nonceExpected = optionalText(expectations, 'nonce');
  const keyIdExpected = optionalText(expectations, 'keyId');

  const key = answeredObject(jwk);
  if (key === null) return refused(KEY_NOT_OBJECT);
  const signed = answeredObject(signResult);
  if (signed === null) return refused(SIGN_RESULT_NOT_OBJECT);

  if (!hasDeviceKeyMembers(key)) return refused(KEY_NOT_DEVICE_KEY);
  const modulus = typeof key.n === 'string' && key.n.length === MODULUS_TEXT_LENGTH ?
      decodeBase64url(key.n) :
      null;
  if (modulus === null || modulus.length !== MODULUS_BYTES || (modulus[0] & 0x80) === 0) {
    return refused(MODULUS_MALFORMED);
  }
  const keyId = await keyIdentifier(key.n, key.e);
  if (key.keyId !== keyId) return refused(KEY_ID_MISMATCH);
  if (keyIdExpected !== undefined && keyId !== keyIdExpected) return refused(KEY_ID_NOT_EXPECTED);

  if (typeof signed.payload === 'string' && signed.payload.length > MAX_PAYLOAD_TEXT)
    return refused(PAYLOAD_TOO_LARGE);
  const payloadBytes = decodeBase64url(signed.payload);
  if (payloadBytes === null) return refused(PAYLOAD_NOT_BASE64URL);
  const signature = decodeBase64url(signed.signature);
  if (signature === null) return refused(SIGNATURE_NOT_BASE64URL);
  if (signature.length !== SIGNATURE_BYTES ||
      !(await rs256Verifies(key.n, payloadBytes, signature))) {
    return refused(SIGNATURE_INVALID);
  }

  let text;
  try {
    // The byte-order mark is kept, so that it fails as any other stray character does.
    text = new TextDecoder('utf-8', {fatal: true, ignoreBOM: true}).decode(payloadBytes);
  } catch {
    return refused(PAYLOAD_NOT_OBJECT);
  }
  const read = readWireJson(text);
  if (read === null || !(read.value instanceof Map)) return refused(PAYLOAD_NOT_OBJECT);
  if (writeWireJson(read.value) !== text) return refused(PAYLOAD_NOT_CANONICAL);

  const members = read.value;
  const protocol = members.get('protocol');
  if (!(protocol instanceof WireNumber) || protocol.form !== 'unsigned' || protocol.value !== 1n) {
    return refused(PROTOCOL_WRONG);
  }
  if (members.get('audience') !== AUDIENCE) return refused(AUDIENCE_WRONG);
  const purpose = members.get('purpose');
  if (!PURPOSES.includes(purpose)) return refused(PURPOSE_UNKNOWN);
  if (purposeExpected !== undefined && purpose !== purposeExpected)
    return refused(PURPOSE_NOT_EXPECTED);
  if (nonceExpected !== undefined && members.get('nonce') !== nonceExpected)
    return refused(NONCE_NOT_EXPECTED);

  // The payload is the value the companion signed, read from the signed bytes as the companion
  // reads them (JSON.parse would round some doubles otherwise); integers beyond 2^53 lose
  // precision here, so payloadBytes carries the exact text.
  return {ok: true, payload: plainValue(members), payloadBytes, keyId, purpose};
}
