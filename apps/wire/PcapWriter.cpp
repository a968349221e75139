#include "PcapWriter.h"

#include <pcap/pcap.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "SocketSet.h"

namespace wire {

namespace {

constexpr size_t kIpHeader = 20;
constexpr size_t kUdpHeader = 8;
constexpr size_t kHeaders = kIpHeader + kUdpHeader;
constexpr size_t kMaxPayload = 65535 - kHeaders;

void Put16(unsigned char* at, uint32_t value) {
    at[0] = static_cast<unsigned char>(value >> 8);
    at[1] = static_cast<unsigned char>(value);
}

void Put32(unsigned char* at, uint32_t value) {
    Put16(at, value >> 16);
    Put16(at + 2, value & 0xffffu);
}

uint16_t IpChecksum(const unsigned char* header) {
    uint32_t sum = 0;
    for (size_t i = 0; i < kIpHeader; i += 2) {
        sum += static_cast<uint32_t>(header[i] << 8 | header[i + 1]);
    }
    while (sum >> 16) {
        sum = (sum & 0xffffu) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum);
}

}  // namespace

CPcapWriter::CPcapWriter(uint64_t startUs) : m_pRecord(new unsigned char[kHeaders + kMaxPayload]) {
    timespec wall{};
    clock_gettime(CLOCK_REALTIME, &wall);
    const uint64_t wallUs =
        static_cast<uint64_t>(wall.tv_sec) * 1000000u + static_cast<uint64_t>(wall.tv_nsec) / 1000u;
    m_nWallAtStartUs = wallUs - (MonotonicUs() - startUs);
}

CPcapWriter::~CPcapWriter() {
    Close();
}

bool CPcapWriter::Open(const std::string& path, std::string& error) {
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        error = "\"" + path + "\" exists and is not a regular file";
        return false;
    }
    m_pPcap = pcap_open_dead(DLT_RAW, 65535);
    if (m_pPcap == nullptr) {
        error = "libpcap could not make a raw IP capture";
        return false;
    }
    m_pDumper = pcap_dump_open(m_pPcap, path.c_str());
    if (m_pDumper == nullptr) {
        error = "\"" + path + "\": " + pcap_geterr(m_pPcap);
        pcap_close(m_pPcap);
        m_pPcap = nullptr;
        return false;
    }
    return true;
}

void CPcapWriter::Write(const Datagram& d) {
    if (m_pDumper == nullptr) {
        return;
    }
    const size_t payload = d.nLen < kMaxPayload ? d.nLen : kMaxPayload;
    unsigned char* ip = m_pRecord.get();
    std::memset(ip, 0, kHeaders);
    ip[0] = 0x45;  // IPv4, 20-byte header
    Put16(ip + 2, static_cast<uint32_t>(kHeaders + payload));
    ip[6] = 0x40;  // don't fragment
    ip[8] = 64;    // TTL
    ip[9] = 17;    // UDP
    Put32(ip + 12, d.nSrcIp);
    Put32(ip + 16, d.nDstIp);
    Put16(ip + 10, IpChecksum(ip));
    unsigned char* udp = ip + kIpHeader;
    Put16(udp, d.nSrcPort);
    Put16(udp + 2, d.nDstPort);
    Put16(udp + 4, static_cast<uint32_t>(kUdpHeader + payload));
    std::memcpy(udp + kUdpHeader, d.pData, payload);

    const uint64_t wallUs = m_nWallAtStartUs + d.nTimeUs;
    pcap_pkthdr header{};
    header.ts.tv_sec = static_cast<time_t>(wallUs / 1000000u);
    header.ts.tv_usec = static_cast<suseconds_t>(wallUs % 1000000u);
    header.caplen = static_cast<bpf_u_int32>(kHeaders + payload);
    header.len = header.caplen;
    pcap_dump(reinterpret_cast<u_char*>(m_pDumper), &header, m_pRecord.get());
}

void CPcapWriter::Flush() {
    if (m_pDumper != nullptr) {
        (void)pcap_dump_flush(m_pDumper);
    }
}

void CPcapWriter::Close() {
    if (m_pDumper != nullptr) {
        pcap_dump_close(m_pDumper);
        m_pDumper = nullptr;
    }
    if (m_pPcap != nullptr) {
        pcap_close(m_pPcap);
        m_pPcap = nullptr;
    }
}

}  // namespace wire
