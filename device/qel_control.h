/* What the stand-in device library offers beyond the device library's five functions, for
 * tests, benchmarks and tools on a PC. The recorder never includes this header: the camera's
 * own library has none of it. */
#ifndef QEL_CONTROL_H
#define QEL_CONTROL_H

#ifdef __cplusplus
extern "C" {
#endif

/* Moves the simulated sensor's clock forward by milliseconds (both pacings), as if that
 * much time had passed: frames are captured and old ones leave the ring. 0 = done; -1 =
 * the frame source is not initialised or milliseconds is negative. */
int qel_advance_clock(int milliseconds);

/* Stops message delivery: ends the bus thread (after a handler that is running returns),
 * closes the socket and removes its file. qel_start_msg may start it again. Returns 0.
 * Also done by itself when the process exits. */
int qel_stop_msg(void);

#ifdef __cplusplus
}
#endif

#endif /* QEL_CONTROL_H */
