/* The C interface of the engine library libkorvex.zephrane.qx.so.
 *
 * Both programs link the library by its soname, so a maker's build of the library
 * replaces ours without rebuilding. Time-outs are in milliseconds. Severities use the
 * log facility's numbering (1 FATAL .. 10 DEBUG).
 *
 * Real-time thread: zephrane_GetProcessChunkFrames and zephrane_ProcessAudio_Planar are
 * called from the audio thread every cycle and must not block. Everything else may
 * block (zephrane_InitProcess3, zephrane_WaitUpdateThreadReady and zephrane_Webserver
 * are also called from the audio thread, but only when a new instance is created). */
#ifndef ZEPHRANE_ENGINE_H
#define ZEPHRANE_ENGINE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ZephraneProcess* ZephraneProcessHandle;       /* NULL: none or failure */
typedef struct ZephraneParameters* ZephraneParametersHandle; /* NULL: none or failure */
typedef int64_t ZephraneWebserverHandle;                     /* -1: none or failure */
typedef void (*ZephraneLogCallback)(int severity, const char* text);

/* Bits of what zephrane_Webserver_Status returns: the listeners that are up. */
enum {
    ZEPHRANE_WEBSERVER_HTTP_LISTENING = 1,
    ZEPHRANE_WEBSERVER_HTTPS_LISTENING = 2
};

int zephrane_SetLogSeverity(int severity);
int zephrane_SetLoggerCallback(ZephraneLogCallback callback);
const char* zephrane_GetVersion(void);
int zephrane_GetSampleRate(void);
int zephrane_GetChunkSizeInFrames(void);
int zephrane_GetChannelCount(void);
int zephrane_GetAudioInputCount(void);
int zephrane_GetAudioOutputCount(void);
const uint32_t* zephrane_GetPossibleChunkSizeInFrames(void);
ZephraneParametersHandle zephrane_NewParameters(void);
int zephrane_SetParameter(ZephraneParametersHandle parameters, const char* key, const char* value);
void zephrane_FreeParameters(ZephraneParametersHandle parameters);
ZephraneProcessHandle zephrane_InitProcess3(const char* storagePath, ZephraneParametersHandle parameters,
                                            uint32_t framesPerChunk);
int zephrane_SetMetadata(ZephraneProcessHandle process, const char* key, const char* value);
int zephrane_StartUpdateThread(ZephraneProcessHandle process, uint32_t jsonPort);
int zephrane_WaitUpdateThreadReady(ZephraneProcessHandle process, int timeoutMs);
int zephrane_StopUpdateThread(ZephraneProcessHandle process);
ZephraneWebserverHandle zephrane_Webserver(uint32_t httpPort, uint32_t httpsPort, ZephraneProcessHandle process);
ZephraneWebserverHandle zephrane_Webserver_tcp2(uint32_t httpPort, uint32_t httpsPort, const char* processAddress,
                                                uint32_t processPort, ZephraneParametersHandle parameters);
int zephrane_Webserver_Status(ZephraneWebserverHandle webserver);
int zephrane_Webserver_Stop(ZephraneWebserverHandle webserver, int timeoutMs);
uint32_t zephrane_GetProcessChunkFrames(ZephraneProcessHandle process);
int zephrane_ProcessAudio_Planar(ZephraneProcessHandle process, const float* const* inputs, float* const* outputs);
void zephrane_ExitProcess(ZephraneProcessHandle process);

#ifdef __cplusplus
}
#endif

#endif
