// The library's one OpenSSL runtime: a library context of its own with the
// "default" and "legacy" providers, so that the host application's default
// context is never changed, and the rules for calling OpenSSL. Private to the
// library.
//
// Every call into OpenSSL is made while an OpenSslStretch lives (CallGate.h):
// a fork() waits for it, and so does OpenSSL's clean-up at exit, after which
// no stretch is Open() and every function here fails. Only a cipher context's
// Update, which takes no lock and raises nothing, runs outside a stretch, so
// that the caller's stream I/O never holds a fork back.
//
// Lifetime: built on first use, never destroyed (contexts copied from it may
// outlive every static destructor). A shared libzqutils is never unloaded
// (linked -z nodelete): OpenSSL keeps a pointer to the exit hook registered
// here, and the providers loaded here stay loaded.
//
// Thread-safety: everything here may be called from any thread.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <memory>
#include <string>

#include "utils/runtime/CallGate.h"

namespace ZQ::RVL::Utils::internal {

// While it lives, this thread may call OpenSSL if Open().
class OpenSslStretch {
 public:
  OpenSslStretch() noexcept;
  ~OpenSslStretch();
  OpenSslStretch(const OpenSslStretch&) = delete;
  OpenSslStretch& operator=(const OpenSslStretch&) = delete;

  // False once OpenSSL has cleaned up (or is cleaning up), also when the host
  // cleaned it up before the library's first stretch: call nothing.
  bool Open() const noexcept { return open_; }

 private:
  Inside inside_{Gate::kOpenSsl};
  bool open_;
  bool stopsThread_ = false;
};

// While it lives, OpenSSL errors raised on this thread stay out of the
// caller's sight: on the way out the queue holds exactly what it held on the
// way in, entries, their order and their texts; marks the caller had set on
// its own entries are not kept. An empty queue on entry (the usual case)
// costs one look at it; a queue that is not empty is set aside on entry and
// put back on the way out. (When memory runs out for that, the library's
// entries are removed from above a mark instead, and a full queue then loses
// its oldest entries to them.)
class CallerErrorQueue {
 public:
  CallerErrorQueue() noexcept;
  ~CallerErrorQueue();
  CallerErrorQueue(const CallerErrorQueue&) = delete;
  CallerErrorQueue& operator=(const CallerErrorQueue&) = delete;

 private:
  // Copies: the queue owns the texts it hands out and frees them when
  // cleared.
  struct Entry {
    unsigned long code;
    std::string file;
    int line;
    std::string function;
    std::string data;
    bool hasFile, hasFunction, hasData;
  };
  struct Saved {
    Entry entries[16];  // OpenSSL's queue holds at most ERR_NUM_ERRORS
    int count = 0;
  };
  std::unique_ptr<Saved> saved_;
  bool marked_ = false;
};

struct CipherCtxDeleter {
  // Frees the context in a stretch (which also wipes the key schedule it
  // holds); after OpenSSL's clean-up it is left for the exit to take.
  void operator()(EVP_CIPHER_CTX* ctx) const noexcept;
};
// Owns one EVP cipher context.
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

enum class Direction { kEncrypt, kDecrypt };

// Returns a new Blowfish-CBC context keyed with the built-in key for
// `direction`, with `iv` as its initialisation vector and PKCS #7 padding on.
// Copies a context keyed once per process, so the key schedule is not rebuilt
// per container. Returns null when Blowfish is unavailable (no legacy provider)
// or OpenSSL fails.
CipherCtxPtr NewBlowfishCbc(Direction direction, const unsigned char (&iv)[8]);

// Returns true when Blowfish-CBC could be set up in the private context.
bool BlowfishAvailable();

// Returns AES-128-ECB fetched from the private context, or null. Use it only
// inside a stretch.
const EVP_CIPHER* Aes128Ecb();

}  // namespace ZQ::RVL::Utils::internal
