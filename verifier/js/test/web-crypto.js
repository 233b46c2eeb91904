// Node.js 18, the Debian release's, keeps Web Crypto off the global object; 20 and later, Deno
// and browsers have it there, which is all the module itself relies on.
import {webcrypto} from 'node:crypto';

globalThis.crypto ??= webcrypto;
