/*
 * Kavrol32 link API: one caller-owned context per serial line.
 *
 * A KavrolLink holds everything one line needs (port handle, time-out,
 * overlapped record, the bytes of its last reply). The caller allocates it
 * (on the stack, in a struct, in an array) and binds it with
 * kavrol_link_init; the library allocates nothing and keeps no pointer to
 * it after a call returns. Results, port handles and time-outs are those of
 * kavrol32.h; each function below does for its link what the named export
 * does for the library's default link.
 *
 * Threads: links are independent of each other, so each line may run on its
 * own thread. One link must not be used by two threads at once. The eleven
 * exports of kavrol32.h share one default link and are not thread-safe:
 * call them from one thread only. The file block I/O (CreaFile, ApriFile,
 * SaveBuffer, LoadBuffer, ChiudiFile) stays one file per process.
 *
 * Every function accepts null pointers and out-of-range values without a
 * crash: a call it cannot carry out returns -1 (KAVROL_E_REJECTED) and
 * touches neither the port nor the caller's objects.
 */
#ifndef KAVROL32_LINK_H
#define KAVROL32_LINK_H

#include <stddef.h>
#include <stdint.h>

#include "kavrol32/kavrol32.h"

/*
 * On Windows the link API comes from the static library kavrol32_link (the
 * DLL keeps its eleven exports only), so it is declared without dllimport.
 * Elsewhere the shared library exports it as well. The functions use the
 * platform's C calling convention on every system.
 */
#if defined(_WIN32)
#define KAVROL_LINK_API
#else
#define KAVROL_LINK_API KAVROL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Bytes of a link object; fixed for this major version. */
#define KAVROL_LINK_SIZE 512
/* Most bytes one reply frame can take on the wire (header and rest). */
#define KAVROL_MAX_REPLY_FRAME 251
/* Most route bytes of a multiplexed command. */
#define KAVROL_MAX_ROUTE 9
/* Most bytes one command frame can take on the wire. */
#define KAVROL_MAX_COMMAND_FRAME 50

#if defined(__cplusplus)
#define KAVROL_ALIGN8 alignas(8)
#define KAVROL_ALIGNOF(type) alignof(type)
#else
#define KAVROL_ALIGN8 _Alignas(8)
#define KAVROL_ALIGNOF(type) _Alignof(type)
#endif

/* Opaque, caller-owned, 8-aligned. Need not be zeroed: kavrol_link_init
 * sets every field. The other calls treat an object no init has started
 * (zeroed, say) like a null link. */
typedef struct KavrolLink {
    KAVROL_ALIGN8 uint64_t opaque[KAVROL_LINK_SIZE / 8];
} KavrolLink;

/*
 * One command, as MuxSendComm takes it. muxMode 1 sends a multiplexed
 * frame along route[0..routeCount-1]; any other value a direct frame.
 * Commands 8 and 11 send itemCount raw bytes from rawData; the others send
 * itemCount (0..4) of the words, low byte first (5 or more: no payload).
 * rawLength must equal the number of raw bytes the frame reads: itemCount
 * for commands 8 and 11, 0 for every other command.
 */
typedef struct KavrolCommand {
    uint8_t routeCount; /* 0..9 */
    uint8_t route[KAVROL_MAX_ROUTE];
    uint8_t command;
    uint8_t subCommand;
    uint8_t itemCount;
    uint8_t muxMode; /* 1: multiplexed */
    uint16_t words[4];
    const uint8_t *rawData; /* commands 8 and 11 */
    uint32_t rawLength;
} KavrolCommand;

#define KAVROL_PIN_COMMAND(field, pos) \
    KAVROL_STATIC_ASSERT(offsetof(KavrolCommand, field) == (pos), "KavrolCommand." #field " offset")
KAVROL_PIN_COMMAND(routeCount, 0);
KAVROL_PIN_COMMAND(route, 1);
KAVROL_PIN_COMMAND(command, 10);
KAVROL_PIN_COMMAND(subCommand, 11);
KAVROL_PIN_COMMAND(itemCount, 12);
KAVROL_PIN_COMMAND(muxMode, 13);
KAVROL_PIN_COMMAND(words, 14);
KAVROL_PIN_COMMAND(rawData, 24);
KAVROL_PIN_COMMAND(rawLength, 24 + sizeof(void *));
#undef KAVROL_PIN_COMMAND
KAVROL_STATIC_ASSERT(sizeof(KavrolCommand) == 24 + 2 * sizeof(void *), "KavrolCommand size");
KAVROL_STATIC_ASSERT(sizeof(KavrolLink) == KAVROL_LINK_SIZE, "KavrolLink size");
KAVROL_STATIC_ASSERT(KAVROL_ALIGNOF(KavrolLink) == 8, "KavrolLink alignment");

/*
 * Binds the link to an open port (Init_Msg_Bin for this link) and clears
 * its state: no reply kept, port not lost. A null port handle leaves the
 * link unbound (waits run to their time-out, nothing touches a port).
 * Returns 1, or -1 for a null link.
 */
KAVROL_LINK_API int32_t kavrol_link_init(KavrolLink *link, void *portHandle, uint32_t timeoutMs);

/*
 * Builds and sends one command (MuxSendComm): 1, -2 on time-out, -1 when
 * the frame would not fit, routeCount is above 9, rawLength does not match
 * (see KavrolCommand), rawData is null with a non-zero rawLength, or link
 * or command is null. On -1 nothing is sent.
 */
KAVROL_LINK_API int32_t kavrol_link_send(KavrolLink *link, const KavrolCommand *command);

/*
 * Reads, validates and decodes one reply (MuxReceiveComm): 1, -2, -3 or
 * -4..-12; -1 when link, buffer or record is null (nothing is read).
 * buffer spans KAVROL_REPLY_BUFFER_SIZE bytes; both caller objects are
 * written only when the result is 1.
 */
KAVROL_LINK_API int32_t kavrol_link_receive(KavrolLink *link, uint32_t modelCode, uint8_t *buffer, ReplyRecord *record);

/* Sends the low byte of value as an acknowledge (Invia_Ack): 1, or -1 for
 * a null link (nothing is sent). */
KAVROL_LINK_API int32_t kavrol_link_ack(KavrolLink *link, uint32_t value);

/* 1 when the last call on the link found its port hung up or gone, else 0
 * (also for a null link). */
KAVROL_LINK_API int32_t kavrol_link_port_lost(const KavrolLink *link);

/*
 * Copies the bytes the last kavrol_link_receive read from the port (header
 * and rest, as read, at most KAVROL_MAX_REPLY_FRAME) into dest and returns
 * their count, never more than capacity. 0 for a null link, a null dest, or
 * when the last receive read nothing. They stay until the next receive or
 * kavrol_link_init.
 */
KAVROL_LINK_API int32_t kavrol_link_last_received(const KavrolLink *link, uint8_t *dest, uint32_t capacity);

/*
 * The mirror of kavrol_link_last_received: copies the bytes of the frame
 * the last kavrol_link_send wrote (as built, whether or not the write
 * completed in time; at most KAVROL_MAX_COMMAND_FRAME) into dest and returns
 * their count, never more than capacity. 0 for a null link, a null dest, or
 * when the last send was rejected before any port call. They stay until the
 * next send or kavrol_link_init.
 */
KAVROL_LINK_API int32_t kavrol_link_last_sent(const KavrolLink *link, uint8_t *dest, uint32_t capacity);

/*
 * The two-byte checksum that the frame frame[0..L] (L = frame[1], the
 * index of its last byte) should carry at positions 4 and 5, as the reply
 * reader judges it: written to computed[0] (position 4) and computed[1]
 * (position 5). Returns 1; 0, writing nothing, for a null pointer, L below
 * 5 (no room for the checksum) or a frame cut before its last byte
 * (length < L + 1).
 */
KAVROL_LINK_API int32_t kavrol_frame_checksum(const uint8_t *frame, uint32_t length, uint8_t *computed);

/*
 * Names a result: "ok" (1), "rejected" (-1), "timeout" (-2), "frame-error"
 * (-3), "device-error" (-4..-12), "unknown" otherwise. Static strings.
 */
KAVROL_LINK_API const char *kavrol_result_name(int32_t result);

#ifdef __cplusplus
}
#endif

#endif /* KAVROL32_LINK_H */
