// Frame records: what the host's processing chain hands a module per frame.
//
// The host builds a QF_FRAME_INPUT (the frame record with its counters, plus
// named input records such as the result block) and a QF_FRAME_OUTPUT, and
// passes their addresses to Process as opaque handles. Modules reach the
// records only through the QF_M_Get_Frame_* functions.
//
// Threads: a frame belongs to the thread that runs Process on it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "algo/AlgoExport.h"

namespace Infra {

// A block of bytes owned by the frame.
class ALGO_API CBaseBuffer {
public:
    CBaseBuffer() = default;
    CBaseBuffer(const void* data, uint32_t length);
    explicit CBaseBuffer(std::vector<uint8_t> bytes);

    void* GetData() { return m_vecData.empty() ? nullptr : m_vecData.data(); }
    uint32_t GetLength() const { return static_cast<uint32_t>(m_vecData.size()); }

private:
    std::vector<uint8_t> m_vecData;
};

}  // namespace Infra

struct QF_FRAME_DATA {
    std::unordered_map<std::string, int> mapInt;
    std::unordered_map<std::string, std::vector<int>> mapIntVec;
    std::unordered_map<std::string, std::shared_ptr<Infra::CBaseBuffer>> mapBuffer;
};
using QF_FRAME_DATA_PTR = std::shared_ptr<QF_FRAME_DATA>;

// Input handle: frame records by id (id 0 carries the counters) and input
// records by name.
struct QF_FRAME_INPUT {
    std::vector<QF_FRAME_DATA_PTR> vecFrame;
    std::map<std::string, QF_FRAME_DATA_PTR, std::less<>> mapInput;
};

// Output handle: the record the module writes its results into.
struct QF_FRAME_OUTPUT {
    QF_FRAME_DATA_PTR pOutput;
};

// Each returns an empty pointer when the handle is null or holds no such record.
ALGO_API QF_FRAME_DATA_PTR QF_M_Get_Frame_ByID(void* input, int id);
ALGO_API QF_FRAME_DATA_PTR QF_M_Get_Frame_ByHInput(void* input, const char* name);
ALGO_API QF_FRAME_DATA_PTR QF_M_Get_Frame_ByHOutput(void* output);
