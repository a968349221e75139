// Ring buffer of finished log lines and its drain thread.
//
// Lines of variable length are packed back to back in one block, each behind a
// four-byte header (little-endian 16-bit record length = payload + 4, in-use
// flag, wrap flag). When a line no longer fits before the limit, a wrap marker
// (a header-only record covering the rest) sends the reader back to offset 0.
// The writer refuses rather than overwrite anything unconsumed.
//
// Thread contract: none of the log_buf_* functions locks; every caller holds
// the log lock (log_print_mod and the drain thread do). All state below is
// guarded by that lock.
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "LogState.h"

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;
constexpr uint32_t kHeader = 4;
constexpr uint32_t kTail = 8;  // region end mark sits this far before the end

struct Ring {
    unsigned char* storage = nullptr;
    uint32_t endMark = 0;   // a candidate front at or past this offset wraps
    uint32_t limit = 0;     // no record extends beyond it
    uint32_t readOff = 0;   // where the consumed part ends
    uint32_t writeOff = 0;  // where the next record goes
    uint32_t front = kNone;
    uint32_t back = kNone;
};

Ring g_ring;

uint16_t RecLen(uint32_t at) {
    return static_cast<uint16_t>(g_ring.storage[at] | (g_ring.storage[at + 1] << 8));
}
bool InUse(uint32_t at) {
    return g_ring.storage[at + 2] != 0;
}
bool IsMarker(uint32_t at) {
    return g_ring.storage[at + 3] != 0;
}

void WriteHeader(uint32_t at, uint16_t rec, bool wrap) {
    unsigned char* p = g_ring.storage + at;
    p[0] = static_cast<unsigned char>(rec & 0xFF);
    p[1] = static_cast<unsigned char>(rec >> 8);
    p[2] = 1;
    p[3] = wrap ? 1 : 0;
}

void PlaceRecord(uint32_t at, uint16_t rec, const log_buf_item& item) {
    WriteHeader(at, rec, false);
    unsigned char* payload = g_ring.storage + at + kHeader;
    memset(payload, 0, rec - kHeader);
    if (item.data != nullptr) {
        memcpy(payload, item.data, rec - kHeader);
    }
    g_ring.back = at;
    if (g_ring.front == kNone) {
        g_ring.front = at;
    }
}

void AdvanceFront() {
    if (g_ring.front == g_ring.back) {
        g_ring.front = kNone;
        g_ring.back = kNone;
        return;
    }
    const uint32_t candidate = g_ring.front + RecLen(g_ring.front);
    if (candidate >= g_ring.endMark && candidate != g_ring.back) {
        g_ring.front = 0;
    } else {
        g_ring.front = candidate;
    }
}

// Read offset after consuming rec bytes; past the limit it starts over.
void ConsumeBytes(uint16_t rec) {
    const uint64_t sum = static_cast<uint64_t>(g_ring.readOff) + rec;
    g_ring.readOff = sum > g_ring.limit ? 0u : static_cast<uint32_t>(sum);
}

log_buf_item ItemAt(uint32_t at) {
    log_buf_item item = {0, nullptr};
    if (at == kNone || IsMarker(at)) {
        return item;
    }
    item.len = static_cast<uint16_t>(RecLen(at) - kHeader);
    item.data = reinterpret_cast<char*>(g_ring.storage + at + kHeader);
    return item;
}

}  // namespace

int log_buf_init(unsigned int size) {
    if (size == 0 || g_ring.storage != nullptr) {
        return -1;
    }
    unsigned char* block = static_cast<unsigned char*>(calloc(size, 1));
    if (block == nullptr) {
        return -2;
    }
    g_ring = Ring{};
    g_ring.storage = block;
    // Clamped for tiny blocks: such a buffer refuses every line instead of
    // computing offsets before its start.
    g_ring.endMark = size > kTail ? size - kTail : 0;
    g_ring.limit = size > kHeader ? size - kHeader : 0;
    return 0;
}

int log_buf_deinit(void) {
    free(g_ring.storage);
    g_ring = Ring{};
    return 0;
}

int log_buf_push_back(log_buf_item item) {
    // A payload whose record length would not fit the 16-bit header is
    // refused like an empty one; log lines never come near it.
    if (item.len == 0 || item.len > 0xFFFFu - kHeader) {
        return -1;
    }
    const uint16_t rec = static_cast<uint16_t>(item.len + kHeader);
    Ring& r = g_ring;

    if (r.writeOff < r.readOff) {
        // Wrapped: the free gap runs up to the reader; keep one byte apart so
        // that equal offsets always mean empty.
        if (r.readOff - r.writeOff <= rec) {
            return -1;
        }
        PlaceRecord(r.writeOff, rec, item);
        r.writeOff += rec;
        return 0;
    }
    if (r.writeOff == r.readOff) {
        r.writeOff = 0;
        r.readOff = 0;
        if (r.limit == 0) {
            return -1;
        }
    }
    if (r.writeOff < r.limit && r.limit - r.writeOff > rec) {
        PlaceRecord(r.writeOff, rec, item);
        r.writeOff += rec;
        return 0;
    }
    if (r.readOff == 0) {
        // Nothing freed at the start yet.
        return -1;
    }
    const uint32_t rest = r.writeOff < r.limit ? r.limit - r.writeOff : 0;
    WriteHeader(r.writeOff, static_cast<uint16_t>(rest), true);
    const uint32_t marker = r.writeOff;
    r.writeOff = 0;
    if (rec < r.readOff) {
        PlaceRecord(0, rec, item);
        r.writeOff = rec;
        return 0;
    }
    // The marker stays so the reader still wraps; the line itself is lost.
    r.back = marker;
    if (r.front == kNone) {
        r.front = marker;
    }
    return -1;
}

void log_buf_pop_front(void) {
    Ring& r = g_ring;
    if (r.front == kNone) {
        return;
    }
    const uint32_t consumed = r.front;
    AdvanceFront();
    r.storage[consumed + 2] = 0;
    ConsumeBytes(RecLen(consumed));
    if (r.front != kNone && IsMarker(r.front) && InUse(r.front)) {
        const uint32_t marker = r.front;
        AdvanceFront();
        r.storage[marker + 2] = 0;
        ConsumeBytes(RecLen(marker));
    }
}

log_buf_item log_buf_front(void) {
    return ItemAt(g_ring.storage ? g_ring.front : kNone);
}

log_buf_item log_buf_back(void) {
    return ItemAt(g_ring.storage ? g_ring.back : kNone);
}

namespace udp {

bool LogBufFrontIsMarker() {
    return g_ring.storage != nullptr && g_ring.front != kNone && IsMarker(g_ring.front);
}

}  // namespace udp

void* log_print_task(void* /*arg*/) {
    udp::LogState& st = udp::g_logState;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(st.lock);
            const log_buf_item item = log_buf_front();
            if (item.len != 0 && item.data != nullptr) {
                // The line is popped whatever write() says: a broken output
                // must not wedge every logging thread behind a full buffer.
                const ssize_t written = write(STDOUT_FILENO, item.data, item.len);
                (void)written;
                log_buf_pop_front();
            } else if (udp::LogBufFrontIsMarker()) {
                // A marker left in front by a refused wrap on an empty buffer
                // would otherwise hide every line queued after it.
                log_buf_pop_front();
            }
        }
        usleep(1000);
    }
    return nullptr;
}
