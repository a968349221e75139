// Fuzzes the log ring buffer with random sequences of push, pop, front and
// back on a buffer of random size, against a reference model that keeps the
// unconsumed records as a plain FIFO of (offset, length) with the placement,
// wrap and refusal rules of the ring.
//
// Checked after every step: the ring and the model accept and refuse the same
// pushes and place records at the same offsets; no accepted record overlaps an
// unconsumed one or reaches past the limit; every unconsumed line still holds
// its bytes; lines come out in order and unchanged; and at the end every
// pushed line was either drained or refused.
//
// Input: two bytes of buffer size, then one byte per operation (low two bits:
// push, pop, front, back), a push followed by one byte of length. With
// FUZZ_RING_TRACE set, each push is printed with the model's offsets, which is
// how a crash input is read.
//
// Threads: libFuzzer's one thread; the ring's callers must hold the log lock,
// and nothing else touches the ring in this process.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

#include "FuzzCheck.h"
#include "udptrans/udptrans_api.h"

namespace {

struct Record {
    uint32_t offset = 0;
    uint32_t length = 0;  // header + payload
    bool marker = false;
    std::string payload;
};

// The ring's bookkeeping written as plainly as possible: offsets and a FIFO of
// records still unconsumed (wrap markers included).
class Model {
public:
    explicit Model(uint32_t size)
        : m_size(size), m_limit(size > 4 ? size - 4 : 0), m_endMark(size > 8 ? size - 8 : 0) {}

    // Returns true when accepted; `offset` is where the record went.
    bool Push(const std::string& payload, uint32_t* offset) {
        if (payload.empty()) {
            return false;
        }
        const uint32_t rec = static_cast<uint32_t>(payload.size()) + 4;
        if (m_write < m_read) {
            if (m_read - m_write <= rec) {
                return false;
            }
            return Place(m_write, rec, payload, offset);
        }
        if (m_write == m_read) {
            // Equal offsets mean empty: nothing unconsumed may remain.
            Check(Lines() == 0, "model: offsets equal while lines are unconsumed");
            m_write = 0;
            m_read = 0;
            if (m_limit == 0) {
                return false;
            }
        }
        if (m_write < m_limit && m_limit - m_write > rec) {
            return Place(m_write, rec, payload, offset);
        }
        if (m_read == 0) {
            return false;
        }
        Record marker;
        marker.offset = m_write;
        marker.length = m_write < m_limit ? m_limit - m_write : 0;
        marker.marker = true;
        m_write = 0;
        if (rec < m_read) {
            // The reader meets the marker only when it walks past a line
            // that is still there; into an empty ring the line at 0 is
            // simply the new front.
            if (!m_fifo.empty()) {
                m_fifo.push_back(marker);
            }
            return Place(0, rec, payload, offset);
        }
        // Refused: the marker stays as the newest record, so the reader
        // still wraps.
        m_fifo.push_back(marker);
        return false;
    }

    void Pop() {
        if (m_fifo.empty()) {
            return;
        }
        Consume(m_fifo.front().length);
        m_fifo.pop_front();
        if (!m_fifo.empty() && m_fifo.front().marker) {
            // A marker in the last bytes before the end mark is jumped over
            // (the reader goes straight to offset 0) unless it is the newest
            // record; any other marker is consumed like a line.
            const bool jumped = m_fifo.front().offset >= m_endMark && m_fifo.size() > 1;
            if (!jumped) {
                Consume(m_fifo.front().length);
            }
            m_fifo.pop_front();
        }
    }

    // The line at the front, or null when there is none or a marker stands there.
    const Record* Front() const {
        return m_fifo.empty() || m_fifo.front().marker ? nullptr : &m_fifo.front();
    }
    const Record* Back() const {
        return m_fifo.empty() || m_fifo.back().marker ? nullptr : &m_fifo.back();
    }
    const std::deque<Record>& Fifo() const { return m_fifo; }
    size_t Lines() const {
        size_t n = 0;
        for (const auto& r : m_fifo) {
            n += r.marker ? 0 : 1;
        }
        return n;
    }
    uint32_t Limit() const { return m_limit; }
    uint32_t Read() const { return m_read; }
    uint32_t Write() const { return m_write; }
    uint32_t Size() const { return m_size; }

private:
    bool Place(uint32_t at, uint32_t rec, const std::string& payload, uint32_t* offset) {
        Check(at + rec <= m_limit, "model: record past the limit");
        for (const auto& r : m_fifo) {
            if (!r.marker && at < r.offset + r.length && r.offset < at + rec) {
                Fail("model: record overlaps an unconsumed one");
            }
        }
        Record r;
        r.offset = at;
        r.length = rec;
        r.payload = payload;
        m_fifo.push_back(r);
        m_write = at + rec;
        *offset = at;
        return true;
    }
    void Consume(uint32_t length) {
        const uint64_t sum = static_cast<uint64_t>(m_read) + length;
        m_read = sum > m_limit ? 0 : static_cast<uint32_t>(sum);
    }

    uint32_t m_size;
    uint32_t m_limit;
    uint32_t m_endMark;  // a candidate front at or past it wraps to offset 0
    uint32_t m_read = 0;
    uint32_t m_write = 0;
    std::deque<Record> m_fifo;
};

// Compares a ring item with a model record (null: no line).
void Same(const log_buf_item& item, const Record* rec, const char* what) {
    if (rec == nullptr) {
        Check(item.len == 0 && item.data == nullptr, what);
        return;
    }
    Check(item.data != nullptr && item.len == rec->payload.size(), what);
    Check(std::memcmp(item.data, rec->payload.data(), item.len) == 0, what);
}

class Session {
public:
    explicit Session(uint32_t size) : m_model(size) {
        Check(log_buf_init(size) == 0, "log_buf_init refused a fresh buffer");
    }
    ~Session() { log_buf_deinit(); }

    void Push(uint32_t length, bool nullData) {
        std::string payload(length, '\0');
        if (!nullData) {
            // Unique bytes per line, so a line overwritten by another shows.
            for (uint32_t i = 0; i < length; ++i) {
                payload[i] = static_cast<char>((m_pushed * 131u + i * 7u + 1u) & 0xFF);
            }
        }
        ++m_pushed;
        log_buf_item item;
        item.len = static_cast<uint16_t>(length);
        item.data = nullData ? nullptr : payload.data();
        const int rc = log_buf_push_back(item);
        uint32_t offset = 0;
        const bool accepted = m_model.Push(payload, &offset);
        if (std::getenv("FUZZ_RING_TRACE") != nullptr) {
            std::fprintf(stderr,
                         "push %u: ring %d, model %d at %u (read %u, write %u, %zu queued)\n",
                         length, rc, accepted ? 0 : -1, offset, m_model.Read(), m_model.Write(),
                         m_model.Fifo().size());
        }
        Check((rc == 0) == accepted, "ring and model disagree on accepting a line");
        if (!accepted) {
            ++m_refused;
            return;
        }
        const log_buf_item back = log_buf_back();
        Check(back.data != nullptr && back.len == length, "back is not the line just pushed");
        const unsigned char* record = reinterpret_cast<unsigned char*>(back.data) - 4;
        if (m_base == nullptr) {
            m_base = record - offset;
        }
        Check(record == m_base + offset, "line placed at another offset than the model's");
        Check(offset + length + 4 <= m_model.Limit(), "line reaches past the limit");
        CheckUnconsumedIntact();
    }

    void Pop() {
        Same(log_buf_front(), m_model.Front(), "front before pop");
        if (m_model.Front() != nullptr) {
            ++m_drained;
        }
        log_buf_pop_front();
        m_model.Pop();
        Same(log_buf_front(), m_model.Front(), "front after pop");
    }

    void Front() { Same(log_buf_front(), m_model.Front(), "front"); }
    void Back() { Same(log_buf_back(), m_model.Back(), "back"); }

    // Empties the ring and checks that every pushed line is accounted for.
    void Drain() {
        while (!m_model.Fifo().empty()) {
            Pop();
        }
        Same(log_buf_front(), nullptr, "front of a drained ring");
        Same(log_buf_back(), nullptr, "back of a drained ring");
        Check(m_pushed == m_drained + m_refused, "pushed != drained + refused");
    }

private:
    // Every line still in the ring holds its bytes: nothing wrote over it.
    void CheckUnconsumedIntact() {
        if (m_base == nullptr) {
            return;
        }
        for (const auto& r : m_model.Fifo()) {
            if (r.marker) {
                continue;
            }
            const unsigned char* p = m_base + r.offset;
            Check((p[0] | (p[1] << 8)) == static_cast<int>(r.length), "record header damaged");
            Check(std::memcmp(p + 4, r.payload.data(), r.payload.size()) == 0,
                  "unconsumed line overwritten");
        }
    }

    Model m_model;
    const unsigned char* m_base = nullptr;
    uint64_t m_pushed = 0;
    uint64_t m_drained = 0;
    uint64_t m_refused = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    // Sizes from 1 byte to 4 KiB; small ones wrap often.
    const uint32_t ringSize = 1u + ((static_cast<uint32_t>(data[0]) << 8 | data[1]) % 4096u);
    Session session(ringSize);
    for (size_t i = 2; i < size; ++i) {
        const uint8_t op = data[i];
        switch (op & 3u) {
            case 0: {
                const uint32_t scale = (op >> 2) & 3u;  // 0..255, up to 1023 bytes
                const uint32_t low = i + 1 < size ? data[++i] : 0u;
                session.Push((scale << 8 | low) >> (scale == 0 ? 2 : 0), (op & 0x80u) != 0);
                break;
            }
            case 1:
                session.Pop();
                break;
            case 2:
                session.Front();
                break;
            default:
                session.Back();
                break;
        }
    }
    session.Drain();
    return 0;
}
