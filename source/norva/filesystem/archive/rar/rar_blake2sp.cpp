// BLAKE2sp: eight BLAKE2s leaves, each over every eighth 64-byte block of the input, and a
// root over the leaves' hashes. libb2's own blake2sp gives each leaf to the OpenMP thread of
// that number and leaves out the leaves of threads that OpenMP does not start (under
// OMP_THREAD_LIMIT, or inside a caller's parallel region), which gives a wrong hash. So the
// tree is built here from libb2's BLAKE2s, the leaves of large inputs on the thread pool.

#include "archive/rar/rar_blake2sp.hpp"

#include <algorithm>

#include <blake2.h>

#include <norva/core/thread.hpp>

namespace norva::filesystem::rar
{
    namespace
    {
        constexpr int LEAVES = 8;
        constexpr u64 STRIPE = LEAVES * BLAKE2S_BLOCKBYTES;

        // Below this the leaves cost less than handing them to other threads.
        constexpr u64 PARALLEL_SIZE = u64(1) << 20;

        void initNode(blake2s_state& state, u8 offset, u8 depth, bool last)
        {
            blake2s_param param = {};
            param.digest_length = BLAKE2SP_SIZE;
            param.fanout = LEAVES;
            param.depth = 2;
            param.node_offset[0] = offset;
            param.node_depth = depth;
            param.inner_length = BLAKE2SP_SIZE;
            blake2s_init_param(&state, &param);
            state.last_node = last;
        }

        void hashLeaf(blake2s_state& state, ConstMemory bytes, int leaf)
        {
            for (u64 offset = u64(leaf) * BLAKE2S_BLOCKBYTES; offset < bytes.size; offset += STRIPE)
            {
                const std::size_t size = std::size_t(std::min<u64>(bytes.size - offset, BLAKE2S_BLOCKBYTES));
                blake2s_update(&state, bytes.address + offset, size);
            }
        }
    } // namespace

    void blake2sp(u8* out, ConstMemory bytes)
    {
        blake2s_state leaves[LEAVES];
        for (int i = 0; i < LEAVES; ++i)
            initNode(leaves[i], u8(i), 0, i == LEAVES - 1);

        if (bytes.size < PARALLEL_SIZE)
        {
            for (int i = 0; i < LEAVES; ++i)
                hashLeaf(leaves[i], bytes, i);
        }
        else
        {
            // waited for before the leaves go out of scope, also when unwinding
            TaskQueue queue("rar.blake2sp", 0);
            for (int i = 1; i < LEAVES; ++i)
                queue.enqueue([&leaves, bytes, i] { hashLeaf(leaves[i], bytes, i); });
            hashLeaf(leaves[0], bytes, 0);
            queue.wait();
        }

        blake2s_state root;
        initNode(root, 0, 1, true);
        for (blake2s_state& leaf : leaves)
        {
            u8 hash[BLAKE2SP_SIZE];
            blake2s_final(&leaf, hash, BLAKE2SP_SIZE);
            blake2s_update(&root, hash, BLAKE2SP_SIZE);
        }
        blake2s_final(&root, out, BLAKE2SP_SIZE);
    }

} // namespace norva::filesystem::rar
