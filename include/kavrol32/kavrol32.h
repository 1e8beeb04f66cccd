/*
 * Kavrol32 public C interface.
 *
 * Host-side library for a family of serial field devices: binds to a serial
 * port the application has opened and configured, sends command frames,
 * receives and validates reply frames, and re-lays each reply into a
 * model-independent buffer and a fixed record.
 *
 * Calling convention: __stdcall on 32-bit Windows (the callee removes its
 * arguments), the platform's C convention elsewhere. Every argument takes
 * one 32-bit slot; only the low bits named in the comments are used.
 *
 * Results: 1 is success. -1 rejected command (does not fit a frame),
 * -2 time-out, -3 read failure / bad length / bad checksum, -4..-12 device
 * error codes 255..247. File calls that fail return 0.
 *
 * Port handle: a Windows HANDLE; on POSIX an open tty file descriptor carried
 * in the pointer value, i.e. (void *)(intptr_t)fd. A null handle means
 * "unbound": no call touches any descriptor then, so descriptor 0 (standard
 * input) cannot be used as the port on POSIX.
 *
 * Time-out: milliseconds, measured as the wrap-safe difference of a 32-bit
 * millisecond tick. 0xFFFFFFFF waits without end. Each wait of a port
 * call, its writes and reads included, ends by the time-out whatever the
 * line does, and a call makes two of them in a row, each with the whole
 * time-out T: a send or an acknowledge writes within T, then waits up to T
 * for the bytes to leave; a receive reads the reply's header within T,
 * then its rest within T. A call therefore ends within about 2T. A
 * port that hangs up or vanishes ends the call at once with the result its
 * deadline would have given. On POSIX a handle value that is no valid
 * descriptor (negative, above INT_MAX) is unbound as well.
 *
 * Threads: the eleven exports share one process-wide state and are
 * single-threaded by design; use the link interface (kavrol32/link.h) to
 * drive ports from several threads. Misuse gives wrong results, never a hang.
 */
#ifndef KAVROL32_KAVROL32_H
#define KAVROL32_KAVROL32_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define KAVROL_CALL __stdcall
#else
#define KAVROL_CALL
#endif

#if defined(_WIN32)
#if defined(KAVROL32_BUILDING)
#define KAVROL_API
#else
#define KAVROL_API __declspec(dllimport)
#endif
#elif defined(KAVROL32_BUILDING)
#define KAVROL_API __attribute__((visibility("default")))
#else
#define KAVROL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Results of the protocol calls. */
#define KAVROL_OK 1
#define KAVROL_E_REJECTED (-1)
#define KAVROL_E_TIMEOUT (-2)
#define KAVROL_E_FRAME (-3)
/* Device error code c (247..255) is reported as c - 259. */
/* clang-format off */
#define KAVROL_DEVICE_ERROR_RESULT(c) ((int32_t)(c) - 259)
/* clang-format on */

/* Sizes the caller's objects must span. */
#define KAVROL_REPLY_BUFFER_SIZE 317
#define KAVROL_REPLY_RECORD_SIZE 418

/*
 * The record that MuxReceiveComm fills from the normalized buffer. Natural
 * alignment; record bytes 97, 118 and 119 are gaps that are never written.
 * Each reply code (3, 1, 6, 2, 5) owns one region and writes only that one.
 */
typedef struct ReplyRecord {
    uint16_t code3Words[32]; /*   0 */
    uint8_t code3Bytes[25];  /*  64 */
    uint8_t code3QuadA[4];   /*  89 */
    uint8_t code3QuadB[4];   /*  93 */
    uint16_t code3Words2[8]; /*  98 */
    uint8_t code3QuadC[4];   /* 114 */
    uint32_t code3Longs[50]; /* 120 */
    uint16_t code1Word0;     /* 320 */
    uint16_t code1Word1;
    uint16_t code1Word2;
    uint16_t code1Word3;
    uint16_t code1Word4;
    uint16_t code1Word5;
    uint16_t code1Word6;
    uint16_t code1Word7;
    uint16_t code1Word8;
    uint16_t code1Word9;    /* 338 */
    uint16_t code6Word0;    /* 340 */
    uint16_t code6Word1;    /* 342 */
    uint16_t code6Pair0[2]; /* 344 */
    uint16_t code6Pair1[2];
    uint16_t code6Pair2[2];
    uint16_t code6Pair3[2];
    uint16_t code6Pair4[2];
    uint16_t code6Pair5[2]; /* 364 */
    uint16_t code6Word2;    /* 368 */
    uint16_t code2Word0;    /* 370 */
    uint16_t code2Bits[8];  /* 372 */
    uint16_t code2Word1;    /* 388 */
    uint16_t code2Word2;
    uint16_t code2Word3;
    uint16_t code2Word4;
    uint16_t code2Word5;    /* 396 */
    uint16_t code5Pair0[2]; /* 398 */
    uint16_t code5Pair1[2];
    uint16_t code5Pair2[2];
    uint16_t code5Pair3[2];
    uint16_t code5Pair4[2]; /* 414 */
} ReplyRecord;

#if defined(__cplusplus)
#define KAVROL_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define KAVROL_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#define KAVROL_PIN(field, pos) \
    KAVROL_STATIC_ASSERT(offsetof(ReplyRecord, field) == (pos), "ReplyRecord." #field " offset")
KAVROL_PIN(code3Words, 0);
KAVROL_PIN(code3Bytes, 64);
KAVROL_PIN(code3QuadA, 89);
KAVROL_PIN(code3QuadB, 93);
KAVROL_PIN(code3Words2, 98);
KAVROL_PIN(code3QuadC, 114);
KAVROL_PIN(code3Longs, 120);
KAVROL_PIN(code1Word0, 320);
KAVROL_PIN(code1Word1, 322);
KAVROL_PIN(code1Word2, 324);
KAVROL_PIN(code1Word3, 326);
KAVROL_PIN(code1Word4, 328);
KAVROL_PIN(code1Word5, 330);
KAVROL_PIN(code1Word6, 332);
KAVROL_PIN(code1Word7, 334);
KAVROL_PIN(code1Word8, 336);
KAVROL_PIN(code1Word9, 338);
KAVROL_PIN(code6Word0, 340);
KAVROL_PIN(code6Word1, 342);
KAVROL_PIN(code6Pair0, 344);
KAVROL_PIN(code6Pair1, 348);
KAVROL_PIN(code6Pair2, 352);
KAVROL_PIN(code6Pair3, 356);
KAVROL_PIN(code6Pair4, 360);
KAVROL_PIN(code6Pair5, 364);
KAVROL_PIN(code6Word2, 368);
KAVROL_PIN(code2Word0, 370);
KAVROL_PIN(code2Bits, 372);
KAVROL_PIN(code2Word1, 388);
KAVROL_PIN(code2Word2, 390);
KAVROL_PIN(code2Word3, 392);
KAVROL_PIN(code2Word4, 394);
KAVROL_PIN(code2Word5, 396);
KAVROL_PIN(code5Pair0, 398);
KAVROL_PIN(code5Pair1, 402);
KAVROL_PIN(code5Pair2, 406);
KAVROL_PIN(code5Pair3, 410);
KAVROL_PIN(code5Pair4, 414);
KAVROL_STATIC_ASSERT(sizeof(ReplyRecord) >= KAVROL_REPLY_RECORD_SIZE, "ReplyRecord size");
#undef KAVROL_PIN

/* Binds the library to an open port. Argument 1 is ignored. Returns 1. */
KAVROL_API int32_t KAVROL_CALL Init_Msg_Bin(uint32_t unused, void *portHandle, uint32_t timeoutMs);

/* Returns the library version, 20. */
KAVROL_API int32_t KAVROL_CALL Get_Version(void);

/*
 * Builds one command frame (direct, or multiplexed when the low byte of
 * muxMode is 1), purges the port, sends the frame and waits until it has
 * gone out. Commands 8 and 11 send itemCount bytes of rawData; the others
 * send itemCount (0..4) 16-bit words, low byte first (5 or more: no
 * payload). Returns 1, -2 on time-out, -1 when the frame would not fit
 * (raw payload over 44 bytes direct or 40 - routeCount multiplexed, or
 * routeCount above 9) - then nothing is sent.
 */
KAVROL_API int32_t KAVROL_CALL MuxSendComm(uint32_t routeCount, uint32_t command, uint32_t subCommand, uint32_t route0,
                                           uint32_t route1, uint32_t route2, uint32_t route3, uint32_t route4,
                                           uint32_t route5, uint32_t route6, uint32_t route7, uint32_t route8,
                                           uint32_t itemCount, uint32_t word0, uint32_t word1, uint32_t word2,
                                           uint32_t word3, uint32_t muxMode, const uint8_t *rawData);

/*
 * Reads and validates one reply frame, normalizes it into replyBuffer
 * (at least KAVROL_REPLY_BUFFER_SIZE bytes) for the given model code, and
 * fills the record region of its reply code. Both caller objects are written
 * only when the result is 1.
 */
KAVROL_API int32_t KAVROL_CALL MuxReceiveComm(uint32_t modelCode, uint8_t *replyBuffer, ReplyRecord *record);

/* Size rule of both block calls: with no file open they return 0 whatever
 * the size; with a file open a size <= 0 moves nothing and returns 1. */
/* Writes size bytes to the open file in chunks. 1, or 0 when data was lost. */
KAVROL_API int32_t KAVROL_CALL SaveBuffer(const uint8_t *data, int32_t size);
/* Reads size bytes from the open file. 1 (also on a short read at end of
 * file, leaving the rest of the block as it was), or 0 when a read failed. */
KAVROL_API int32_t KAVROL_CALL LoadBuffer(uint8_t *data, int32_t size);
/* Closes the open file, if any. Returns 1. */
KAVROL_API int32_t KAVROL_CALL ChiudiFile(void);
/* Opens an existing regular file for reading. 1, or 0 on failure, for a null
 * path, or for anything that is no regular file (FIFO, device, directory):
 * such paths are refused without blocking. */
KAVROL_API int32_t KAVROL_CALL ApriFile(const char *path);
/* Creates (or truncates) a regular file with the given attribute. 1, or 0
 * (also for a null path or a path that is no regular file). */
KAVROL_API int32_t KAVROL_CALL CreaFile(const char *path, int32_t attribute);

/* Shifts value (direction 0: arithmetic right, 1: left, else none) by the
 * count modulo 32, and returns it masked with maskA | maskB. */
KAVROL_API int32_t KAVROL_CALL ShiftMask(int32_t value, uint32_t maskA, uint32_t maskB, uint32_t shiftCount,
                                         uint32_t direction);

/* Sends the low byte of value as an acknowledge and waits (under the
 * time-out) until it has left the output queue. Returns 1. Exported as
 * _Invia_Ack@4 on 32-bit Windows. */
KAVROL_API int32_t KAVROL_CALL Invia_Ack(uint32_t value);

#ifdef __cplusplus
}
#endif

#endif /* KAVROL32_KAVROL32_H */
