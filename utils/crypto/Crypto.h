// ZQ::RVL::Utils::Crypto: AES-128 on one 16-byte block, the light XOR scramble,
// and the "ZQCRYPTO" container (a header and a Blowfish-CBC or light-scrambled
// payload) written and read between streams and files.
//
// Thread-safety: every function here but the chunked decryption may be called
// from any thread at once, on different buffers and streams; the chunked
// decryption has one process-wide context and serves one call at a time: a
// call that finds another call on it returns false and changes nothing (see
// below).
//
// Stack: no call needs more than 16 KiB of the calling thread's stack, the
// calls into the caller's stream buffer not counted (pieces and cipher
// buffers are on the heap).
//
// Streams: every kind works alike, seekable or not, with or without
// exceptions() enabled: a function gives the same result, delivers the same
// bytes and leaves the stream at the same place either way, and its flags as
// the reads left them (the caller's exception mask is kept; the end of the
// data raises no exception). Nothing throws on bad input: failures are
// reported as `false`, also a std::ios_base::failure or std::bad_alloc thrown
// inside a call. Any other exception thrown by a caller's stream buffer (with
// badbit in its exceptions()), and the forced unwinding of a cancelled thread,
// passes through unchanged, with everything the call held released and the
// chunked decryption closed.
//
// The host is left as it was: the toolkit uses a private OpenSSL library
// context, and every call leaves the calling thread's OpenSSL error queue as
// it found it: the same entries in the same order with their texts, also a
// full queue (marks the caller set in it are not kept).
//
// Cancellation: the stretches in which a call is inside OpenSSL cannot be
// cancelled (a request then waits for the thread's next cancellation point).
// A call is cancelled, and unwinds as above, in the caller's stream I/O, in
// FileEncrypt's and FileDecrypt's reads and writes, and where it draws fresh
// IVs from the kernel (getrandom). A FileEncrypt or FileDecrypt cancelled
// while its output (a FIFO, a socket) blocks drops what it still buffers.
//
// At exit: a destructor that runs after the calling thread's own state is gone
// (a static object's, another thread_local's) still writes containers with
// fresh IVs. OpenSSL cleans up at exit (it registers that when it starts, so
// it comes before the destructors of statics made earlier): the clean-up
// waits for the calls inside OpenSSL in other threads, and from then on every
// function that needs OpenSSL returns false, also in threads still running.
// A shared libzqutils is never unloaded: dlclose leaves it loaded (OpenSSL
// keeps a pointer to its exit hook).
//
// Processes: IVs come from the kernel (getrandom), so no two processes ever
// share one, whatever made the child (fork from a threaded parent, _Fork,
// clone into a new PID namespace where the child has its parent's process
// id). fork() waits until no other thread is inside OpenSSL for the library,
// so a child's first container never waits on a lock a parent thread held at
// the fork; a fork from a signal handler that interrupted a call does not
// wait for that call. _Fork() and clone() do not wait: a child made so while
// another thread was inside OpenSSL may hang in its first call. A file size
// limit (RLIMIT_FSIZE) reached by FileEncrypt or FileDecrypt raises SIGXFSZ
// as the host has set it; where it is ignored, the call returns false.
//
// The container: "ZQCRYPTO" (8 bytes), the plain size (signed 32-bit,
// little-endian), then in the full form an 8-byte random IV and the
// Blowfish-CBC ciphertext (built-in 16-byte key, PKCS #7 padding, always
// (size + 8) / 8 * 8 bytes); in the light form the payload XORed with a
// built-in 16-byte pattern. Nothing in a container tells the forms apart: the
// reader must be given the writer's `light` flag. See doc/container-format.md.
#pragma once

#include <iosfwd>

#include "utils/Export.h"

namespace ZQ::RVL::Utils::Crypto {

// ---------------------------------------------------------------------------
// Buffer cipher and light scramble
// ---------------------------------------------------------------------------

// Encrypts the 16 bytes at `data` in place with AES-128 (one ECB block) under
// `key`. Bytes from 16 on are never touched. Does nothing when `length` is
// below 16 or when `light` is true (use EncryptDecryptLight for the light
// scramble). The key schedule is wiped before the call returns: from memory,
// and with the CPU's AES instructions also from the vector registers where
// the CPU has AVX (vzeroall; without AVX the last round keys may stay there). Fails closed:
// when no AES implementation is usable (neither the CPU's AES instructions nor
// OpenSSL's AES-128), the 16 bytes are set to zero rather than left as plain
// text; the same holds for every Encrypt and Decrypt below.
ZQ_UTILS_API void Encrypt(char* data, int length, const char (&key)[16], bool light);

// Decrypts the 16 bytes at `data` in place: the inverse of the keyed Encrypt
// with the same key. Does nothing when `length` is below 16 or `light` is true.
ZQ_UTILS_API void Decrypt(char* data, int length, const char (&key)[16], bool light);

// Encrypts like the keyed Encrypt under the built-in default key. With `light`
// set it does nothing.
ZQ_UTILS_API void Encrypt(char* data, int length, bool light);

// Decrypts like the keyed Decrypt under the built-in default key. With `light`
// set it does nothing.
ZQ_UTILS_API void Decrypt(char* data, int length, bool light);

// XORs the first `length` bytes at `data` in place with the built-in 16-byte
// light pattern (byte i with pattern byte i mod 16). Its own inverse. Does
// nothing when `length` is 0 or less.
ZQ_UTILS_API void EncryptDecryptLight(char* data, int length);

// ---------------------------------------------------------------------------
// Containers in streams and files
// ---------------------------------------------------------------------------

// Writes `size` bytes from `in` into `out` as one container: the full form is
// Blowfish-CBC under the built-in key with a fresh IV, the light form the XOR
// scramble. Returns false, and leaves what it already wrote in `out`, when a
// stream has an error flag on entry (nothing is written then), `size` is
// negative (nothing is written), `in` runs dry before `size` bytes (the
// container is still complete and its header keeps `size`), a write to `out`
// fails, Blowfish is unavailable or the random source fails (nothing is
// written). Stops reading after `size` bytes; the rest of `in` stays unread.
ZQ_UTILS_API bool StreamEncrypt(std::istream& in, int size, std::ostream& out, bool light);

// Reads one container from `in` and writes its plain bytes to `out`, leaving
// `in` positioned behind the container. Returns false when a stream has an
// error flag on entry, the header is not valid or its size field is negative
// (nothing is written), the full form's ciphertext is cut short inside a
// block or its last block's padding is wrong (every plain byte except the
// last block is already in `out`), a read from `in` fails other than at its
// end (the plain bytes before the failure are in `out`), or a write to `out`
// fails.
//
// Neither form compares the bytes delivered with the header's size, so a
// caller that must know the container arrived whole compares them itself
// (StreamPlainSize reads the size): a full-form ciphertext cut at a block
// boundary decrypts with true whenever what is then the last block happens to
// end in valid padding (always when its plain byte there is 0x01), and a
// light-form payload cut short by the end of `in` gives the bytes present and
// true. A container written under another key pair decrypts to noise of a
// wrong length with true about once in 140 times (its padding checks).
ZQ_UTILS_API bool StreamDecrypt(std::istream& in, std::ostream& out, bool light);

// Reads a container header from `in` and stores its plain size in `size`,
// leaving `in` at the first payload byte (offset 20 in the full form, 12 in the
// light form). Returns false when the header is not valid: `size` is then 0,
// or the size field when it is negative or only the IV is missing. The first
// 8 bytes stay consumed either way.
ZQ_UTILS_API bool StreamPlainSize(std::istream& in, int& size, bool light);

// Files named by path (FilePlainSize, FileEncrypt, FileDecrypt):
// - An input is a regular file, reached through symbolic links. Anything else
//   (a FIFO, a device such as /dev/zero, a folder, a socket) is refused at
//   once: no call waits for a FIFO's writer or reads a device that never ends.
// - An output is created, or emptied and written in place, as fopen("wb")
//   does: a failed call leaves it behind, empty or partly written, and an
//   existing file keeps its mode, owner and other names (hard links). A new
//   file gets the input's permission bits (at most 0666) less the umask, so a
//   0600 container decrypts into a 0600 file.
// - An output path that is a symbolic link is refused, never written through;
//   so is a folder, a socket, the input itself (nothing is emptied then), and
//   an existing file or FIFO of another user in a sticky folder that others
//   may write (/tmp), which that user could have made to read our bytes. A FIFO with a
//   reader and a character device (/dev/null) are written in place; a FIFO
//   without a reader is refused at once.
// - Descriptors are close-on-exec and never 0, 1 or 2.

// As StreamPlainSize, for the file at `path`. Returns false, with `size`
// untouched, when the file cannot be opened or is not a regular file.
ZQ_UTILS_API bool FilePlainSize(const char* path, int& size, bool light);

// Encrypts the whole file at `inPath` into a container at `outPath`. Returns
// false without creating or emptying `outPath` when the input cannot be opened,
// is not a regular file, is 2 GiB (2^31 bytes) or larger, or when `outPath`
// is refused (see above); returns false and leaves a partial `outPath` when
// writing, flushing or closing it fails (a full disk is reported, not
// ignored).
ZQ_UTILS_API bool FileEncrypt(const char* inPath, const char* outPath, bool light);

// Decrypts the container at `inPath` into the file at `outPath`. Returns false
// without creating or emptying `outPath` when the input cannot be opened or is
// not a regular file, or `outPath` is refused (see above); otherwise as
// StreamDecrypt, and false when `outPath` cannot be written, flushed or
// closed. A failed call leaves `outPath` behind, empty or partly written.
ZQ_UTILS_API bool FileDecrypt(const char* inPath, const char* outPath, bool light);

// Copies up to `size` bytes from `in` to `out` through the light scramble, the
// pattern counted from the first byte copied; serves both directions. Stops
// early, silently, when `in` runs dry.
ZQ_UTILS_API void StreamEncryptDecryptLight(std::istream& in, int size, std::ostream& out);

// ---------------------------------------------------------------------------
// Chunked decryption
//
// Decrypts one container piece by piece into the caller's buffer, with memory
// bounded by the chunk length. The decryption state lives in ONE process-wide
// context: one chunked decryption may run in a process at a time, its calls
// one after another. A call that finds another call on the context (from
// another thread, or a signal handler's) returns false at once and changes
// nothing: DecryptStreamDeinit then does nothing. Pass the same stream and light flag to
// every call; the container must be the last thing in the stream (its end is
// recognised by the stream's end of file).
//
//   int size = 0;
//   bool ok = DecryptStreamInit(in, size, light);
//   char buffer[64 * 1024];
//   while (ok) {
//     int length = sizeof buffer;
//     ok = DecryptStreamChunk(in, buffer, length, light);
//     if (ok) Consume(buffer, length);
//     if (in.eof()) break;  // the chunk that met the end was the last one
//   }
//   DecryptStreamDeinit();
// ---------------------------------------------------------------------------

// Reads a container header from `in` and opens the process-wide decryption,
// releasing whatever an earlier one still held. Returns false when the header
// is not valid or its size field negative (`size` keeps the caller's value on
// a wrong magic, else 0 or the size field) or, in the full form, Blowfish is
// unavailable; call
// DecryptStreamDeinit afterwards in every case.
ZQ_UTILS_API bool DecryptStreamInit(std::istream& in, int& size, bool light);

// Reads up to `length` container bytes from `in` and delivers the plain bytes
// decrypted so far into `buffer`; `length` then holds how many. `length` is
// the buffer's capacity on entry: positive, a multiple of 8 in the full form
// and of 16 in the light form, else the call returns false, reads nothing and
// changes nothing. The full form keeps the last block back until it knows the
// stream has ended; the call that meets the end (a short read, or a read that
// yields nothing) checks the padding and delivers the rest, and the call after
// that returns false. In the full form it returns false, and closes the
// decryption, when none is open, the stream fails, or the cipher or the
// padding check fails (then `buffer` and `length` hold the bytes delivered
// before the check). It also returns false, reading nothing and changing
// nothing, when the decryption this thread opened was replaced since by
// another thread's DecryptStreamInit (a thread that opened none goes on with
// the one open). The light form needs no open decryption and never fails
// on data: at the end of the stream it delivers 0 bytes; a read error (not the
// end) makes it return false with `buffer` zeroed and `length` unchanged, and
// close the decryption.
ZQ_UTILS_API bool DecryptStreamChunk(std::istream& in, char* buffer, int& length, bool light);

// Closes the process-wide decryption and releases its context, unless
// another thread's DecryptStreamInit replaced the one this thread opened.
// Safe to call at any time, also twice.
ZQ_UTILS_API void DecryptStreamDeinit();

// Reads up to `length` bytes from `in` into `buffer` and descrambles them with
// the light pattern counted from the buffer's first byte; `length` then holds
// the number read (0 at the end of the stream, or when `length` was not
// positive). The first `length` bytes of `buffer` are zeroed first.
ZQ_UTILS_API void StreamEncryptDecryptChunkLight(std::istream& in, char* buffer, int& length);

// ---------------------------------------------------------------------------
// Blob serialisation: byte blobs in memory to and from containers in streams
// ---------------------------------------------------------------------------

// Writes `length` bytes at `blob` into `out` as one container (full or light
// form). The blob is only read. Returns false when `length` is 0 or less,
// `blob` is null or the random source fails (nothing is written then), the
// header cannot be written, the cipher fails, or `out` has an error flag at
// the end; what was written stays.
ZQ_UTILS_API bool SerializeImpl(const unsigned char* blob, int length, std::ostream& out,
                                bool light);

// Writes the light-scrambled `length` bytes at `blob` into `out`, without a
// header. Does nothing when `length` is 0 or less. The blob is only read.
ZQ_UTILS_API void SerializeLightImpl(const unsigned char* blob, int length, std::ostream& out);

// Reads one container from `in` into a new array that the caller owns and
// frees with delete[]; `blob` receives it (its old value is overwritten, not
// freed) and `length` the number of blob bytes, and `in` is left behind the
// container. The array holds (size field + 8) / 8 * 8 bytes in the full form
// (fewer when the stream delivers fewer cipher bytes: always enough for
// `length`), and size field + 1 bytes in the light form, where bytes the
// stream did not deliver and the last byte are zero. Memory grows with the
// bytes the stream delivers, never with the size field alone. Returns false
// with `blob` untouched (`length` 0 or the size field) when the header is not
// valid or its size field is negative or too large for an array, or, in the
// light form, when the stream holds or delivers more than 64 KiB fewer bytes
// than the size field claims (a seekable stream is asked before anything is
// read), memory runs out, or a read from `in` fails other than at its end;
// returns false with `blob` null and `length` holding the size field when the
// full form's decryption, a read or memory fails. A light payload cut short
// by the end of `in` by at most 64 KiB is not an error.
ZQ_UTILS_API bool DeserializeImpl(std::istream& in, unsigned char*& blob, int& length, bool light);

// Reads a light-form payload of `length` bytes, without a header, into a new
// array of `length` + 1 bytes that the caller owns and frees with delete[]
// (bytes the stream did not deliver, and the last byte, are zero). `blob` is
// set to null when `length` is negative, the stream holds or delivers more
// than 64 KiB fewer bytes than `length`, a read fails other than at the end,
// or memory runs out.
ZQ_UTILS_API void DeserializeLightImpl(std::istream& in, unsigned char*& blob, int length);

// Returns the number of bytes SerializeImpl writes for a blob of `length`
// bytes in the full form: 20 + (length + 8) / 8 * 8. A light-form blob takes
// 12 + length. Returns -1 when the result would not fit an int.
ZQ_UTILS_API int SerializedLengthImpl(int length);

}  // namespace ZQ::RVL::Utils::Crypto
