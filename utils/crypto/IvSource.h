// Fresh initialisation vectors for full-form containers. Private to
// utils/crypto.
#pragma once

namespace ZQ::RVL::Utils::Crypto::internal {

// Fills `iv` with 8 fresh bytes from the kernel (getrandom). A system call
// costs about as much as encrypting a 100-byte container, so each thread draws
// 512 bytes at a time and hands them out 8 at a time; a child process, however
// it was made (fork, _Fork, clone, a new PID namespace), never reuses bytes
// drawn before it was made and never waits on a lock, and handed out bytes are
// wiped from the pool. Returns false when the kernel gives none. Thread-safe;
// each thread keeps its pool in a page of its own.
bool DrawIv(unsigned char (&iv)[8]);

}  // namespace ZQ::RVL::Utils::Crypto::internal
