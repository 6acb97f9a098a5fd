#pragma once

// Every line the device writes to the host's log (LogError) and every status text it posts, in one
// place. Users, hosts and the companion's own tooling see these texts: they are kept exactly as they
// stand, the uneven prefixes and spacing included ("[ FerroxEMG]", "[Example Device]", "[Ferrox EMG]",
// "[Corvale Sensor ]", the double space in "from  buffer"). Change a text only together with whatever
// reads it. They are macros so that the compiler still checks each format against its arguments.

// Property changes (level 0).
#define FERROX_LOG_PROPERTY_CHANGED "[ FerroxEMG] Property changed (%s)"
#define FERROX_LOG_PROPERTY_INTEGER "[FerroxEMG] Property integer value: %d"
#define FERROX_LOG_PROPERTY_MAPPED "[Ferrox EMG] Mapped Property state: %s"
#define FERROX_LOG_PROPERTY_INVALID_INDEX "[Example Device] Invalid property value index: %d"
#define FERROX_LOG_CHANNEL_ENABLED "[Corvale Sensor ] Channel Enabled State Changed (Channel:%s  Enabled:%d)"
#define FERROX_LOG_READY_FOR_SYNC "[%s] [PrepareForSync]. Ready for sync"

// The sample stream (level 0).
#define FERROX_LOG_STREAM_ENDED                                                                              \
    "[FerroxEMG] Sample stream ended (%s); frames carry zeros until the companion connects again"
#define FERROX_LOG_STREAM_STALLED                                                                            \
    "[FerroxEMG] Sample stream stalled (no block for %lld ms); frames carry zeros until blocks arrive again"
#define FERROX_LOG_STREAM_RESUMED "[FerroxEMG] Sample stream resumed after %.0f ms without blocks"
#define FERROX_LOG_STREAM_REPLACED                                                                           \
    "[FerroxEMG] Sample stream replaced: the stalled connection gave way to a new one"
#define FERROX_LOG_STREAM_CONNECTED "[FerroxEMG] Sample stream connected from %s, sender %s"
#define FERROX_LOG_STREAM_SENDER_UNEXPECTED                                                                  \
    "[FerroxEMG] Sample stream sender is %s, not %s; its blocks are taken all the same"
#define FERROX_LOG_FOREIGN_CONNECTION                                                                        \
    "[FerroxEMG] Connection from another machine (%s) closed: the sample stream is taken from this machine " \
    "only"
#define FERROX_LOG_PORT_IN_USE                                                                               \
    "[FerroxEMG] Sample port %u unavailable (%s); frames carry zeros until it is free (tried again at "      \
    "AppRunMode and StartCapture)"
#define FERROX_LOG_PORT_BOUND "[FerroxEMG] Sample port %u free again: the device listens on it"
#define FERROX_LOG_ACKNOWLEDGEMENTS_REFUSED                                                                  \
    "[FerroxEMG] Prompt acknowledgements refused on the sample stream (error %d); a companion that leaves "  \
    "Nagle's algorithm on may deliver in bursts"
#define FERROX_LOG_RATE_MISMATCH                                                                             \
    "[FerroxEMG] Sample stream brings %.1f blocks a second against the device rate of %.1f Hz; the %s "      \
    "evenly"
#define FERROX_LOG_PLAYOUT_SLIPS "[FerroxEMG] Playout slips:%s"

// Capture (a refused frame at level 1, the others at level 0).
#define FERROX_LOG_RATE_REFUSED                                                                              \
    "[FerroxEMG] Capture not started: a rate of %g Hz is outside what the device can schedule (a period "    \
    "from 10 us to 10 s)"
#define FERROX_LOG_CAPTURE_PRIORITY "[FerroxEMG] Capture thread priority: %s"
#define FERROX_LOG_FRAME_REFUSED "[Ferrox Device] Unable to get frame from  buffer (frameID:%d)"
#define FERROX_LOG_CAPTURE_ENDED                                                                             \
    "[FerroxEMG] Capture ended: %lld frames in %lld ticks at %.1f Hz, %lld late ticks (worst %.3f ms), "     \
    "%lld frames skipped, %lld frames refused by the host, %lld stale frames in %lld stalls; %s delivery, "  \
    "%llu blocks received, %llu delivered, %llu repeated, %llu dropped, %llu slips, playout depth %llu "     \
    "median, %llu largest; %llu connections from other machines refused, %llu closed unused"

// Status texts posted through the device manager.
#define FERROX_STATUS_SCANNING "Scanning Sensor"
#define FERROX_STATUS_SCANNED "Scanned Sensor Succesfully"
#define FERROX_STATUS_COLLECTING "Collecting Data"
#define FERROX_STATUS_STOPPING "Stopping Data Collection"
#define FERROX_STATUS_PORT_IN_USE "Sample port in use"
