#pragma once

/* The engine test double: libkorvex.zephrane.qx.so with every operation of
 * zephrane_engine.h, scriptable, recording each call.
 *
 * Run a real program against it with LD_LIBRARY_PATH=<ZEPHRANE_DOUBLE_DIR>, or link the
 * target zephrane_engine_double into a unit test and drive it with the functions below.
 *
 * Keys. Each value is looked up in this order: zdouble_set() (in-process), the control
 * file named by ZDOUBLE_CONTROL_FILE (lines KEY=VALUE; blank lines and lines starting
 * with '#' are skipped), then the environment. The control file is re-read at every call
 * except the two audio-cycle ones (zephrane_ProcessAudio_Planar and
 * zephrane_GetProcessChunkFrames), in particular at every zephrane_InitProcess3 and
 * zephrane_Webserver* call, so a test can change the behaviour of a running host.
 *
 *   ZDOUBLE_SAMPLE_RATE      int, zephrane_GetSampleRate (default 48000)
 *   ZDOUBLE_CHUNK_SIZE       int, zephrane_GetChunkSizeInFrames (default 12)
 *   ZDOUBLE_CHANNELS         int, zephrane_GetChannelCount (default 1)
 *   ZDOUBLE_INPUTS           int, zephrane_GetAudioInputCount (default 1)
 *   ZDOUBLE_OUTPUTS          int, zephrane_GetAudioOutputCount (default 1)
 *   ZDOUBLE_VERSION          text, zephrane_GetVersion (default "9.9.9-double")
 *   ZDOUBLE_VERSION_NULL     1: zephrane_GetVersion returns NULL
 *   ZDOUBLE_POSSIBLE_SIZES   comma list for zephrane_GetPossibleChunkSizeInFrames, may be
 *                            empty (default 12,16,24,32,48,64,96,128,192,256,384,512,768,1024,2048)
 *   ZDOUBLE_NEW_PARAMETERS_FAIL  1: zephrane_NewParameters returns NULL
 *   ZDOUBLE_INIT_FAIL        1: zephrane_InitProcess3 returns NULL
 *   ZDOUBLE_READY_RESULT     int, zephrane_WaitUpdateThreadReady (default 0). When 0 the call
 *                            first waits (up to its time-out) until the update loop runs and
 *                            returns -1 if it never started.
 *   ZDOUBLE_WEB_HANDLE       int64, what zephrane_Webserver and zephrane_Webserver_tcp2 return
 *                            (default: a fresh id 1, 2, ...; -1: failure)
 *   ZDOUBLE_WEB_STATUS       int, zephrane_Webserver_Status (default 3: HTTP and HTTPS listening)
 *   ZDOUBLE_WEB_STOP_RESULT  int, zephrane_Webserver_Stop (default 0)
 *   ZDOUBLE_WEB_STOP_DELAY_MS  int, how long zephrane_Webserver_Stop takes (default 0)
 *   ZDOUBLE_CHUNK_FRAMES     uint32, overrides what zephrane_GetProcessChunkFrames reports and
 *                            how many frames zephrane_ProcessAudio_Planar handles (default: the
 *                            frames per chunk given to zephrane_InitProcess3)
 *   ZDOUBLE_GAIN             float, processing is out = in * gain (default 1.0); "nan" or
 *                            "inf" make every output sample non-finite
 *   ZDOUBLE_STALL_AT_CALL    n: the n-th zephrane_ProcessAudio_Planar call (1 = the first)
 *   ZDOUBLE_STALL_MS         sleeps this long before it processes, once: a hung engine
 *   ZDOUBLE_LOG_LINES        engine log lines sent through the callback right after
 *                            zephrane_SetLoggerCallback, from a thread of the double's own
 *                            (joined before the call returns): entries "severity:text"
 *                            separated by '|'; "\n" in a text stands for a line feed. The
 *                            double does not filter them by zephrane_SetLogSeverity.
 *   ZDOUBLE_CALL_LOG         file path: each call appended as one line (O_APPEND, one write()
 *                            per line): the function name, then the arguments separated by
 *                            single spaces; texts as they are ("(null)" for NULL), handles as
 *                            p<n> (process), s<n> (parameter set), w<n> (web server), 0 or -1
 *                            for none. A handle used after release gets the suffix "(freed)".
 *                            When the library is unloaded a line
 *                            "# counts ProcessAudio_Planar=<n> GetProcessChunkFrames=<m>" is added.
 *   ZDOUBLE_LOG_PROCESS      1: also record zephrane_ProcessAudio_Planar and
 *                            zephrane_GetProcessChunkFrames calls (not real-time safe then).
 *
 * Without ZDOUBLE_LOG_PROCESS the audio-cycle calls take no lock and allocate nothing;
 * they are only counted.
 */

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#include <string>
#include <vector>

extern "C" {
#endif

// Forgets every zdouble_set override, the recorded calls, the counters and the handle
// numbering. Objects already handed out stay valid.
void zdouble_reset(void);
// Sets a key for this process, ahead of the control file and the environment; a NULL
// value removes the override. Takes effect at the next non-audio call.
void zdouble_set(const char* key, const char* value);
size_t zdouble_process_call_count(void);
size_t zdouble_chunk_frames_call_count(void);
// Number of zephrane_StartUpdateThread calls currently blocked.
int zdouble_update_loops_running(void);
// Sends one line through the registered log callback on the calling thread; returns 0
// when no callback is registered.
int zdouble_emit_log(int severity, const char* text);

#ifdef __cplusplus
}

// Every recorded call line, in order (the same lines as ZDOUBLE_CALL_LOG).
std::vector<std::string> zdouble_calls();
#endif
