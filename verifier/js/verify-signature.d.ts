/** The reason texts, one per check, in the order the checks run. */
export type Reason =
  | "key is not a JSON object"
  | "sign result is not a JSON object"
  | "key is not a device key JWK"
  | "key modulus is malformed"
  | "key id does not match the key"
  | "key id is not the expected one"
  | "payload is too large"
  | "payload is not base64url"
  | "signature is not base64url"
  | "signature does not verify"
  | "payload is not a JSON object"
  | "payload is not canonical"
  | "protocol is not 1"
  | "audience is not ktarn-sealed-browser"
  | "purpose is not a signing purpose"
  | "purpose is not the expected one"
  | "nonce is not the expected one";

export const REASONS: readonly Reason[];

export type Purpose = "challenge" | "request" | "events";

/** What the relying party requires beyond a valid signature; each check runs only when given. */
export interface Expectations {
  /** The payload's "purpose", compared exactly. */
  purpose?: Purpose;
  /** The payload's "nonce", a string, compared exactly. */
  nonce?: string;
  /** The key id pinned at enrolment. */
  keyId?: string;
}

export type Verification =
  | {
      ok: true;
      /** Read from payloadBytes; integers beyond 2^53 lose precision here. */
      payload: { [name: string]: unknown };
      /** Exactly the signed bytes, which are the payload's canonical JSON text. */
      payloadBytes: Uint8Array;
      keyId: string;
      purpose: Purpose;
    }
  | { ok: false; reason: Reason };

/**
 * Verifies one companion signature. jwk is what "key" answered (the JSON Web Key, or the whole
 * response object), signResult what "sign" answered (its result, or the whole response object).
 * Rejects with a TypeError only when an expectation is given and is not a string.
 */
export function verifySignature(
  jwk: unknown,
  signResult: unknown,
  expectations?: Expectations,
): Promise<Verification>;
