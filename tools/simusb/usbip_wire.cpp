#include "tools/simusb/usbip_wire.h"

#include "base/bytes.h"

namespace fwu::usbip {
namespace {

std::uint32_t LoadBe32(const std::uint8_t* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

void StoreBe32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

std::int32_t Signed(std::uint32_t v) {
    return static_cast<std::int32_t>(v);
}

std::uint32_t Unsigned(std::int32_t v) {
    return static_cast<std::uint32_t>(v);
}

}  // namespace

Header ParseHeader(std::span<const std::uint8_t, kHeaderSize> bytes) {
    const std::uint8_t* p = bytes.data();
    Header h;
    h.command = LoadBe32(p);
    h.seqnum = LoadBe32(p + 4);
    h.devid = LoadBe32(p + 8);
    h.direction = LoadBe32(p + 12);
    h.ep = LoadBe32(p + 16);
    if (h.command == kCmdSubmit) {
        h.transferFlags = LoadBe32(p + 20);
        h.transferLength = Signed(LoadBe32(p + 24));
        h.startFrame = Signed(LoadBe32(p + 28));
        h.packetCount = Signed(LoadBe32(p + 32));
        h.interval = Signed(LoadBe32(p + 36));
        for (std::size_t i = 0; i < h.setup.size(); ++i) h.setup[i] = p[40 + i];
    } else if (h.command == kCmdUnlink) {
        h.unlinkSeqnum = LoadBe32(p + 20);
    } else if (h.command == kRetSubmit) {
        h.status = Signed(LoadBe32(p + 20));
        h.actualLength = Signed(LoadBe32(p + 24));
        h.startFrame = Signed(LoadBe32(p + 28));
        h.packetCount = Signed(LoadBe32(p + 32));
    } else if (h.command == kRetUnlink) {
        h.status = Signed(LoadBe32(p + 20));
    }
    return h;
}

HeaderBytes EncodeHeader(const Header& h) {
    HeaderBytes out{};
    std::uint8_t* p = out.data();
    StoreBe32(p, h.command);
    StoreBe32(p + 4, h.seqnum);
    StoreBe32(p + 8, h.devid);
    StoreBe32(p + 12, h.direction);
    StoreBe32(p + 16, h.ep);
    if (h.command == kCmdSubmit) {
        StoreBe32(p + 20, h.transferFlags);
        StoreBe32(p + 24, Unsigned(h.transferLength));
        StoreBe32(p + 28, Unsigned(h.startFrame));
        StoreBe32(p + 32, Unsigned(h.packetCount));
        StoreBe32(p + 36, Unsigned(h.interval));
        for (std::size_t i = 0; i < h.setup.size(); ++i) p[40 + i] = h.setup[i];
    } else if (h.command == kCmdUnlink) {
        StoreBe32(p + 20, h.unlinkSeqnum);
    } else if (h.command == kRetSubmit) {
        StoreBe32(p + 20, Unsigned(h.status));
        StoreBe32(p + 24, Unsigned(h.actualLength));
        StoreBe32(p + 28, Unsigned(h.startFrame));
        StoreBe32(p + 32, Unsigned(h.packetCount));
    } else if (h.command == kRetUnlink) {
        StoreBe32(p + 20, Unsigned(h.status));
    }
    return out;
}

HeaderBytes RetSubmit(std::uint32_t seqnum, std::int32_t status, std::int32_t actualLength) {
    // Answers carry no device, direction or endpoint; a non-isochronous
    // transfer has no packets.
    Header h;
    h.command = kRetSubmit;
    h.seqnum = seqnum;
    h.status = status;
    h.actualLength = actualLength;
    return EncodeHeader(h);
}

HeaderBytes RetUnlink(std::uint32_t seqnum, std::int32_t status) {
    Header h;
    h.command = kRetUnlink;
    h.seqnum = seqnum;
    h.status = status;
    return EncodeHeader(h);
}

Setup Setup::Parse(const SetupPacket& packet) {
    Setup s;
    s.requestType = packet[0];
    s.request = packet[1];
    s.value = LoadLe16(packet.data() + 2);
    s.index = LoadLe16(packet.data() + 4);
    s.length = LoadLe16(packet.data() + 6);
    return s;
}

}  // namespace fwu::usbip
