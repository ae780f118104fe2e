// backlog.h - what the relay keeps for receivers that have not taken it yet: shared copies of
// chunks, cut from large blocks, and each receiver's queue of them. Nothing here locks: the relay
// holds its registry lock around every use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// What one queued piece costs beyond its bytes, generously: its queue slot (16 bytes, twice that
// while its queue has room to spare) and its chunk copy's header and alignment (up to 23 bytes).
#define ENTRY_COST 96u
// Chunk copies are cut from blocks of this size, and a receiver's queue starts with room for
// BACKLOG_START pieces (see copy_chunk and backlog_queue).
#define COPY_BLOCK (64u << 10)
#define BACKLOG_START 128u

// A copy of a chunk, shared by every receiver it is queued for; its bytes follow it.
struct copy_block;
struct chunk_copy {
    copy_block *home;    // null for a copy that lives for good
    std::uint32_t size;
    std::uint32_t refs;  // the queue entries and the fan-out holding it
    const char *data() const { return reinterpret_cast<const char *>(this + 1); }
};

// A block that chunk copies are cut from, one after another; copies start right after it.
struct copy_block {
    std::size_t used;  // bytes cut, this header included
    std::size_t live;  // copies in it still held
};

// Chunk copies are cut from blocks of COPY_BLOCK bytes, in the order they are made, and a block goes
// back to the allocator as a whole once the last copy in it has been sent, except for one kept for
// the next. Queues empty first in, first out, so blocks empty in the order they filled: what a
// stalled client or a burst took goes back whole, instead of lingering as small pieces scattered
// over the heap, as the allocator's per-thread caches keep them. The relay guards them with the lock that guards the queues.
inline copy_block *current_block;  // copies are cut from this one
inline copy_block *spare_block;    // an empty block kept for the next

// Copies a chunk for the queues, held once by the caller. Returns null if out of memory.
inline chunk_copy *copy_chunk(const char *data, std::size_t len)
{
    std::size_t need = (sizeof(chunk_copy) + len + alignof(chunk_copy) - 1) & ~(alignof(chunk_copy) - 1);
    if (current_block == nullptr || current_block->used + need > COPY_BLOCK) {
        if (current_block != nullptr && current_block->live == 0) {
            current_block->used = sizeof(copy_block);
        } else {
            // A full block still in use goes when its last copy does (release_copy).
            current_block = spare_block != nullptr ? spare_block : static_cast<copy_block *>(std::malloc(COPY_BLOCK));
            spare_block = nullptr;
            if (current_block == nullptr)
                return nullptr;
            *current_block = copy_block{sizeof(copy_block), 0};
        }
    }
    auto *copy = reinterpret_cast<chunk_copy *>(reinterpret_cast<char *>(current_block) + current_block->used);
    current_block->used += need;
    ++current_block->live;
    *copy = chunk_copy{current_block, static_cast<std::uint32_t>(len), 1};
    std::memcpy(copy + 1, data, len);
    return copy;
}

// Lets go of one hold on a copy; the last one frees it, and the last copy in a block frees the block.
inline void release_copy(chunk_copy *copy)
{
    if (--copy->refs > 0 || copy->home == nullptr)
        return;
    copy_block *block = copy->home;
    if (--block->live > 0)
        return;
    if (block == current_block)
        block->used = sizeof(copy_block);
    else if (spare_block == nullptr)
        spare_block = block;
    else
        std::free(block);
}

// Bytes on their way to one receiver: a chunk copy, and how much of it this receiver has already
// been sent.
struct pending {
    chunk_copy *chunk;
    std::size_t offset;
};

// A receiver's queue: a ring of pending pieces in one allocation, made on first need and doubled
// when full. Once it empties, a ring grown past BACKLOG_START is let go, so that a receiver that was
// once far behind does not keep the room it took then.
struct backlog_queue {
    pending *slots = nullptr;
    std::size_t capacity = 0;  // a power of two, or 0
    std::size_t head = 0;
    std::size_t count = 0;

    bool empty() const { return count == 0; }
    std::size_t size() const { return count; }
    pending &operator[](std::size_t i) { return slots[(head + i) & (capacity - 1)]; }
    pending &front() { return slots[head]; }

    // Queues p, which takes a hold on its copy. Returns false if out of memory.
    bool push_back(const pending &p)
    {
        if (count == capacity) {
            std::size_t grown = capacity == 0 ? BACKLOG_START : capacity * 2;
            auto *bigger = static_cast<pending *>(std::malloc(grown * sizeof(pending)));
            if (bigger == nullptr)
                return false;
            for (std::size_t i = 0; i < count; ++i)
                bigger[i] = (*this)[i];
            std::free(slots);
            slots = bigger;
            capacity = grown;
            head = 0;
        }
        (*this)[count++] = p;
        ++p.chunk->refs;
        return true;
    }

    void pop_front()
    {
        release_copy(slots[head].chunk);
        head = (head + 1) & (capacity - 1);
        if (--count == 0 && capacity > BACKLOG_START)
            clear();
    }

    // Drops everything queued and lets the ring go.
    void clear()
    {
        for (std::size_t i = 0; i < count; ++i)
            release_copy((*this)[i].chunk);
        std::free(slots);
        *this = backlog_queue{};
    }
};
