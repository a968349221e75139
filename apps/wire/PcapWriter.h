// CPcapWriter: received datagrams into a capture file that the usual packet
// tools open, written through libpcap.
//
// A receiving socket never sees the IP and UDP headers, so each record gets
// a plain IPv4 header (checksum filled in) and a UDP header (checksum 0, which
// IPv4 allows) rebuilt from the addresses and ports the datagram carried; the
// link type is raw IP. Time stamps are the wall clock at arrival.
//
// Threads: one thread owns a writer. No allocation per record.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Datagram.h"

struct pcap;
struct pcap_dumper;

namespace wire {

class CPcapWriter {
public:
    // `startUs`: the monotonic reading that datagram times count from.
    explicit CPcapWriter(uint64_t startUs);
    ~CPcapWriter();
    CPcapWriter(const CPcapWriter&) = delete;
    CPcapWriter& operator=(const CPcapWriter&) = delete;

    // Creates or replaces `path`. A path that exists and is not a regular
    // file is refused. false with the reason in `error`.
    bool Open(const std::string& path, std::string& error);
    bool IsOpen() const { return m_pDumper != nullptr; }
    void Write(const Datagram& d);
    // Pushes what is buffered to the file, so a reader sees it while we run.
    void Flush();
    void Close();

private:
    uint64_t m_nWallAtStartUs;  // wall clock at the monotonic start reading
    pcap* m_pPcap = nullptr;
    pcap_dumper* m_pDumper = nullptr;
    std::unique_ptr<unsigned char[]> m_pRecord;  // headers and payload of one record
};

}  // namespace wire
