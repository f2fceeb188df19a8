/* The daemon's status file: KEY=VALUE lines in the format of the settings files, written
 * by the daemon and read by status.cgi with the same reader (kv_store.h). Times are seconds
 * since 1970 (0: never); counters count since the daemon started. */
#pragma once

inline constexpr char STATUS_KEY_PID[] = "PID";
inline constexpr char STATUS_KEY_STARTED[] = "STARTED";
inline constexpr char STATUS_KEY_LAST_RELAYED[] = "LAST_RELAYED";

/* The keys of one connection (cloud or gateway). */
struct status_side_keys {
  const char *state;       /* STATUS_DOWN, STATUS_CONNECTING or STATUS_UP */
  const char *since;       /* when it entered that state */
  const char *uri;         /* the broker's server URI */
  const char *failed_at;   /* last failed attempt (0: none yet) */
  const char *failed_rc;   /* its return code */
  const char *failed_text; /* what the return code means */
};
inline constexpr status_side_keys STATUS_CLOUD_KEYS = {
    "CLOUD_STATE", "CLOUD_SINCE", "CLOUD_URI", "CLOUD_FAILED_AT", "CLOUD_FAILED_RC", "CLOUD_FAILED_TEXT"};
inline constexpr status_side_keys STATUS_GATEWAY_KEYS = {"GATEWAY_STATE",
                                                         "GATEWAY_SINCE",
                                                         "GATEWAY_URI",
                                                         "GATEWAY_FAILED_AT",
                                                         "GATEWAY_FAILED_RC",
                                                         "GATEWAY_FAILED_TEXT"};

inline constexpr char STATUS_DOWN[] = "down";
inline constexpr char STATUS_CONNECTING[] = "connecting";
inline constexpr char STATUS_UP[] = "up";

/* The message counters, in the order the file and the page list them. */
enum status_counter {
  STATUS_RECEIVED,  /* messages received from the gateway */
  STATUS_PUBLISHED, /* documents written whole to the cloud */
  STATUS_NOT_JSON,  /* payloads the transformation rejected */
  STATUS_TOO_LARGE, /* documents (or payloads) too large to relay */
  STATUS_DROPPED,   /* documents dropped because the queue was full */
  STATUS_WAITING,   /* documents queued now (not a count since start) */
  STATUS_COUNTERS
};
inline constexpr const char *STATUS_COUNTER_KEYS[STATUS_COUNTERS] = {
    "RECEIVED", "PUBLISHED", "NOT_JSON", "TOO_LARGE", "DROPPED", "WAITING"};

/* At least once (NIMBA_QOS=1) only, after LAST_RELAYED: the delivery's own figures. */
inline constexpr char STATUS_KEY_QOS[] = "QOS";                         /* 1 */
inline constexpr char STATUS_KEY_AWAITING_PUBACK[] = "AWAITING_PUBACK"; /* documents in flight */
inline constexpr char STATUS_KEY_RESENT[] = "RESENT";                   /* documents sent again */
inline constexpr char STATUS_KEY_GATEWAY_HELD_MS[] = "GATEWAY_HELD_MS"; /* ms the gateway waited for
                                                                           the spool since start */
inline constexpr char STATUS_KEY_SPOOL_DOCUMENTS[] = "SPOOL_DOCUMENTS"; /* waiting on flash */
inline constexpr char STATUS_KEY_SPOOL_BYTES[] = "SPOOL_BYTES";         /* of the spool's files */
inline constexpr char STATUS_KEY_SPOOL_ERRNO[] = "SPOOL_ERRNO";         /* 0: usable; else why not */
inline constexpr char STATUS_KEY_OLDEST_WAITING[] = "OLDEST_WAITING";   /* arrival of the oldest waiting */

/* The drops by reason (their sum is DROPPED). */
enum status_drop_reason {
  DROP_QUEUE_FULL,
  DROP_SPOOL_FULL,
  DROP_REFUSED,
  DROP_SPOOL_LOST, /* waiting in a spool folder that was removed or replaced */
  STATUS_DROP_REASONS
};
inline constexpr const char *STATUS_DROP_KEYS[STATUS_DROP_REASONS] = {
    "DROPPED_QUEUE_FULL", "DROPPED_SPOOL_FULL", "DROPPED_REFUSED", "DROPPED_SPOOL_LOST"};

/* Path of the status file: NIMBA_STATUS_PATH unless a test set another with
 * status_file_set_path (nullptr restores it; the text is not copied). */
const char *status_file_path();
void status_file_set_path(const char *path);
