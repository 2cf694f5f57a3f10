// ZQ::RVL::Utils::Crypto: AES-128 on one 16-byte block, the light XOR scramble,
// and the "ZQCRYPTO" container (a header and a Blowfish-CBC or light-scrambled
// payload) written and read between streams and files.
//
// Thread-safety: every function here may be called from any thread at once, on
// different buffers and streams. Nothing throws on bad input: failures are
// reported as `false`. The toolkit uses a private OpenSSL library context and
// never changes the host application's OpenSSL state.
//
// The container: "ZQCRYPTO" (8 bytes), the plain size (signed 32-bit,
// little-endian), then in the full form an 8-byte random IV and the
// Blowfish-CBC ciphertext (built-in 16-byte key, PKCS #7 padding, always
// (size + 8) / 8 * 8 bytes); in the light form the payload XORed with a
// built-in 16-byte pattern. Nothing in a container tells the forms apart: the
// reader must be given the writer's `light` flag. See doc/container-format.md.
#pragma once

#include <iosfwd>

namespace ZQ::RVL::Utils::Crypto {

// ---------------------------------------------------------------------------
// Buffer cipher and light scramble
// ---------------------------------------------------------------------------

// Encrypts the 16 bytes at `data` in place with AES-128 (one ECB block) under
// `key`. Bytes from 16 on are never touched. Does nothing when `length` is
// below 16 or when `light` is true (use EncryptDecryptLight for the light
// scramble). The key schedule is wiped before the call returns.
void Encrypt(char* data, int length, const char (&key)[16], bool light);

// Decrypts the 16 bytes at `data` in place: the inverse of the keyed Encrypt
// with the same key. Does nothing when `length` is below 16 or `light` is true.
void Decrypt(char* data, int length, const char (&key)[16], bool light);

// Encrypts like the keyed Encrypt under the built-in default key. With `light`
// set it does nothing.
void Encrypt(char* data, int length, bool light);

// Decrypts like the keyed Decrypt under the built-in default key. With `light`
// set it does nothing.
void Decrypt(char* data, int length, bool light);

// XORs the first `length` bytes at `data` in place with the built-in 16-byte
// light pattern (byte i with pattern byte i mod 16). Its own inverse. Does
// nothing when `length` is 0 or less.
void EncryptDecryptLight(char* data, int length);

// ---------------------------------------------------------------------------
// Containers in streams and files
// ---------------------------------------------------------------------------

// Writes `size` bytes from `in` into `out` as one container: the full form is
// Blowfish-CBC under the built-in key with a fresh IV, the light form the XOR
// scramble. Returns false, and leaves what it already wrote in `out`, when a
// stream has an error flag on entry (nothing is written then), `size` is
// negative (nothing is written), `in` runs dry before `size` bytes (the
// container is still complete and its header keeps `size`), a write to `out`
// fails, or Blowfish is unavailable (nothing is written). Stops reading after
// `size` bytes; the rest of `in` stays unread.
bool StreamEncrypt(std::istream& in, int size, std::ostream& out, bool light);

// Reads one container from `in` and writes its plain bytes to `out`, leaving
// `in` positioned behind the container. Returns false when a stream has an
// error flag on entry, the header is not valid (nothing is written), the full
// form's ciphertext is cut short or its padding is wrong (every plain byte
// except the last block is already in `out`), or a write to `out` fails. A
// light-form payload cut short is not an error: the bytes present are written
// and the result is true.
bool StreamDecrypt(std::istream& in, std::ostream& out, bool light);

// Reads a container header from `in` and stores its plain size in `size`,
// leaving `in` at the first payload byte (offset 20 in the full form, 12 in the
// light form). Returns false when the header is not valid: `size` is then 0,
// or the size field when only the IV is missing. The first 8 bytes stay
// consumed either way.
bool StreamPlainSize(std::istream& in, int& size, bool light);

// As StreamPlainSize, for the file at `path`. Returns false, with `size`
// untouched, when the file cannot be opened.
bool FilePlainSize(const char* path, int& size, bool light);

// Encrypts the whole file at `inPath` into a container at `outPath` (created or
// replaced). Returns false without creating `outPath` when the input cannot be
// opened or measured, is 2 GiB (2^31 bytes) or larger, or is the same file as
// `outPath`; returns false and leaves a partial `outPath` when writing,
// flushing or closing it fails (a full disk is reported, not ignored).
bool FileEncrypt(const char* inPath, const char* outPath, bool light);

// Decrypts the container at `inPath` into the file at `outPath` (created or
// replaced). Returns false without creating `outPath` when the input cannot be
// opened or is the same file as `outPath`; otherwise as StreamDecrypt, and
// false when `outPath` cannot be written, flushed or closed. A failed call
// leaves `outPath` behind, empty or partly written.
bool FileDecrypt(const char* inPath, const char* outPath, bool light);

// Copies up to `size` bytes from `in` to `out` through the light scramble, the
// pattern counted from the first byte copied; serves both directions. Stops
// early, silently, when `in` runs dry.
void StreamEncryptDecryptLight(std::istream& in, int size, std::ostream& out);

}  // namespace ZQ::RVL::Utils::Crypto
