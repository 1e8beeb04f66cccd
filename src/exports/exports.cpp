// The exported entry points. Each one takes its arguments in 32-bit slots,
// keeps only the bits the interface names, and hands over to its module;
// the protocol calls all work on the one default link.
#include "kavrol32/kavrol32.h"

#include "command/command_frame.h"
#include "link/link_state.h"
#include "link/timed_io.h"
#include "reply/reply_reader.h"
#include "util/file_io.h"
#include "util/version.h"

namespace {

constexpr std::uint8_t low8(std::uint32_t v) { return static_cast<std::uint8_t>(v & 0xFFU); }
constexpr std::uint16_t low16(std::uint32_t v) { return static_cast<std::uint16_t>(v & 0xFFFFU); }

}  // namespace

extern "C" {

int32_t KAVROL_CALL Init_Msg_Bin(uint32_t /*unused*/, void* portHandle, uint32_t timeoutMs) {
    kavrol::link::bindPort(kavrol::link::defaultLink(), portHandle, timeoutMs);
    return 1;
}

int32_t KAVROL_CALL Get_Version(void) { return kavrol::util::kLibraryVersion; }

int32_t KAVROL_CALL MuxSendComm(uint32_t routeCount, uint32_t command, uint32_t subCommand, uint32_t route0,
                                uint32_t route1, uint32_t route2, uint32_t route3, uint32_t route4, uint32_t route5,
                                uint32_t route6, uint32_t route7, uint32_t route8, uint32_t itemCount, uint32_t word0,
                                uint32_t word1, uint32_t word2, uint32_t word3, uint32_t muxMode,
                                const uint8_t* rawData) {
    KavrolCommand args{};
    args.routeCount = low8(routeCount);
    args.command = low8(command);
    args.subCommand = low8(subCommand);
    const uint32_t route[kavrol::command::kMaxRoute] = {route0, route1, route2, route3, route4,
                                                        route5, route6, route7, route8};
    for (unsigned i = 0; i < kavrol::command::kMaxRoute; ++i) args.route[i] = low8(route[i]);
    args.itemCount = low8(itemCount);
    args.words[0] = low16(word0);
    args.words[1] = low16(word1);
    args.words[2] = low16(word2);
    args.words[3] = low16(word3);
    args.muxMode = low8(muxMode);
    args.rawData = rawData;
    return kavrol::command::sendCommand(kavrol::link::defaultLink(), args);
}

int32_t KAVROL_CALL MuxReceiveComm(uint32_t modelCode, uint8_t* replyBuffer, ReplyRecord* record) {
    return kavrol::reply::receiveReply(kavrol::link::defaultLink(), modelCode, replyBuffer,
                                       reinterpret_cast<uint8_t*>(record));
}

int32_t KAVROL_CALL SaveBuffer(const uint8_t* data, int32_t size) { return kavrol::util::saveBuffer(data, size); }

int32_t KAVROL_CALL LoadBuffer(uint8_t* data, int32_t size) { return kavrol::util::loadBuffer(data, size); }

int32_t KAVROL_CALL ChiudiFile(void) { return kavrol::util::closeFile(); }

int32_t KAVROL_CALL ApriFile(const char* path) { return kavrol::util::openFile(path); }

int32_t KAVROL_CALL CreaFile(const char* path, int32_t attribute) { return kavrol::util::createFile(path, attribute); }

int32_t KAVROL_CALL ShiftMask(int32_t value, uint32_t maskA, uint32_t maskB, uint32_t shiftCount, uint32_t direction) {
    return kavrol::util::shiftMask(value, maskA, maskB, shiftCount, direction);
}

int32_t KAVROL_CALL Invia_Ack(uint32_t value) {
    kavrol::link::sendAck(kavrol::link::defaultLink(), low8(value));
    return 1;
}

}  // extern "C"
