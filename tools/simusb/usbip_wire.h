// The URB messages the kernel's virtual host controller (vhci-hcd) exchanges
// with a USB/IP device: 48-byte headers, every field big-endian, followed by
// the OUT data of a submit or the IN data of its answer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace fwu::usbip {

inline constexpr std::size_t kHeaderSize = 48;

inline constexpr std::uint32_t kCmdSubmit = 1;
inline constexpr std::uint32_t kCmdUnlink = 2;
inline constexpr std::uint32_t kRetSubmit = 3;
inline constexpr std::uint32_t kRetUnlink = 4;

inline constexpr std::uint32_t kDirOut = 0;
inline constexpr std::uint32_t kDirIn = 1;

using HeaderBytes = std::array<std::uint8_t, kHeaderSize>;
using SetupPacket = std::array<std::uint8_t, 8>;

// One header, decoded. Which fields mean something depends on `command`.
struct Header {
    std::uint32_t command = 0;
    std::uint32_t seqnum = 0;
    std::uint32_t devid = 0;
    std::uint32_t direction = 0;
    std::uint32_t ep = 0;
    // CMD_SUBMIT
    std::uint32_t transferFlags = 0;
    std::int32_t transferLength = 0;
    std::int32_t startFrame = 0;
    std::int32_t packetCount = 0;
    std::int32_t interval = 0;
    SetupPacket setup{};
    // CMD_UNLINK: the submit to cancel
    std::uint32_t unlinkSeqnum = 0;
    // RET_SUBMIT, RET_UNLINK
    std::int32_t status = 0;
    std::int32_t actualLength = 0;
};

Header ParseHeader(std::span<const std::uint8_t, kHeaderSize> bytes);
HeaderBytes EncodeHeader(const Header& header);

// The answer to submit `seqnum` (`actualLength` bytes of IN data follow it).
HeaderBytes RetSubmit(std::uint32_t seqnum, std::int32_t status, std::int32_t actualLength);
// The answer to unlink request `seqnum`.
HeaderBytes RetUnlink(std::uint32_t seqnum, std::int32_t status);

// Fields of a setup packet (little-endian words, as on the bus).
struct Setup {
    std::uint8_t requestType = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;
    static Setup Parse(const SetupPacket& packet);
    bool in() const { return (requestType & 0x80) != 0; }
};

}  // namespace fwu::usbip
