// BlockPool: every block holds what was asked, aligned; a block given back is taken again for a
// request of its size or a little smaller; resize keeps contents; the pool keeps no more than the
// recent calls handed out, gives the rest back once they have passed, and keeps nothing once its
// last user has left. Exits non-zero when a check fails.
#include "sampler/block_pool.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tests/kernels/check.h"

int main() {
  bool ok = true;
  tovalib::BlockPool pool;
  pool.attach();  // one sampler

  // Sizes around every class boundary up to a few MiB: the whole request is writable.
  std::vector<void*> blocks;
  for (size_t bytes = 1; bytes < (size_t{4} << 20); bytes = bytes * 9 / 8 + 1) {
    for (const size_t size : {bytes - 1, bytes, bytes + 1}) {
      void* block = pool.take(size);
      ok &= check(block != nullptr, "a block");
      ok &= check(reinterpret_cast<uintptr_t>(block) % 64 == 0, "aligned to a cache line");
      std::memset(block, 0xAB, size);
      blocks.push_back(block);
    }
  }
  ok &= check(pool.take(SIZE_MAX / 2) == nullptr, "an impossible size is refused");
  ok &= check(pool.end_call() == 0, "nothing was cached yet");
  for (void* block : blocks) pool.give(block);
  ok &= check(pool.cached_bytes() > 0, "given back within what the last call handed out");

  // Calls that hand out nothing let the cached memory go, once the busy call is kPoolRecentCalls
  // back.
  size_t released = 0;
  for (size_t call = 0; call < tovalib::memory_policy::kPoolRecentCalls; ++call) {
    ok &= check(pool.cached_bytes() > 0, "kept while a recent call needed it");
    released += pool.end_call();
  }
  ok &= check(pool.cached_bytes() == 0 && released > 0, "given back after the recent calls");
  pool.give(pool.take(5000));
  ok &= check(pool.cached_bytes() == 0, "nothing is cached past the limit");

  // A block given back serves the next request of the same size, or of a slightly smaller one.
  for (const size_t bytes : {size_t{1000}, size_t{100000}, size_t{3000000}}) {
    tovalib::BlockPool fresh;
    fresh.attach();
    void* block = fresh.take(bytes);
    fresh.end_call();  // room for this much
    fresh.give(block);
    ok &= check(fresh.take(bytes) == block, "the same size takes the same block");
    fresh.give(block);
    ok &= check(fresh.take(bytes * 9 / 10) == block, "a tenth smaller takes it too");
    fresh.give(block);
    void* larger = fresh.take(bytes * 2);
    ok &= check(larger != block, "twice the size does not");
    fresh.give(larger);
  }

  // resize: in place while the block is large enough, moved with its contents otherwise.
  auto* data = static_cast<unsigned char*>(pool.take(1000));
  for (int i = 0; i < 1000; ++i) data[i] = static_cast<unsigned char>(i);
  ok &= check(pool.resize(data, 1001) == data, "grown within its capacity, a block stays");
  auto* moved = static_cast<unsigned char*>(pool.resize(data, 1 << 20));
  bool kept = moved != nullptr && moved != data;
  for (int i = 0; kept && i < 1000; ++i) kept = moved[i] == static_cast<unsigned char>(i);
  ok &= check(kept, "a grown block moves with its contents");
  ok &= check(pool.resize(moved, 10) == moved, "a shrunk block stays");
  pool.give(moved);

  // The last user leaving empties the pool, and what comes back afterwards is not kept.
  void* last = pool.take(100000);
  pool.end_call();
  pool.give(last);
  ok &= check(pool.cached_bytes() > 0, "cached while a user is left");
  pool.attach();
  pool.detach();
  ok &= check(pool.cached_bytes() > 0, "cached while one user of two is left");
  pool.detach();
  ok &= check(pool.cached_bytes() == 0, "given back when the last user leaves");
  pool.give(pool.take(1000));
  ok &= check(pool.cached_bytes() == 0, "nothing cached with no user");

  if (ok) std::printf("ok\n");
  return ok ? 0 : 1;
}
