/* libirstack: the infrared link stack for applications, as a C interface: open a port, list the
 * devices in range, connect to a service or offer one, and move bytes over the channel. */
#ifndef IRSTACK_H
#define IRSTACK_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A serial port with an infrared transceiver, and the station that runs on it. */
typedef struct irs_port irs_port;
/* A data channel of a port's link; a link carries up to IRS_CHANNELS_MAX at once. */
typedef struct irs_channel irs_channel;
/* Handles are opaque values, not addresses: never dereference them. A handle once closed stays
 * invalid for good (IRS_ERR_HANDLE), even when a later irs_open, connect or listen reuses its
 * place: a channel handle after irs_channel_close or irs_close of its port, a port handle after
 * irs_close. */

/* Every call returns IRS_OK (or a count) on success and one of these on failure. */
enum irs_error {
    IRS_OK = 0,
    IRS_ERR_ARG = -1,          /* a bad argument: null, zero length, out of range, name too long */
    IRS_ERR_HANDLE = -2,       /* not a handle, or one already closed */
    IRS_ERR_STATE = -3,        /* a call the handle's role or state does not allow */
    IRS_ERR_TIMEOUT = -4,      /* nothing came before the time-out */
    IRS_ERR_PORT = -5,         /* the port cannot be opened: missing, busy, not allowed or not a
                                * serial device */
    IRS_ERR_PORT_LOST = -6,    /* the port has gone (a dongle unplugged) */
    IRS_ERR_PEER_GONE = -7,    /* the peer went out of range, went silent or broke the link */
    IRS_ERR_NO_SERVICE = -8,   /* the device has no service under those names */
    IRS_ERR_IO = -9,           /* a port operation failed */
    IRS_ERR_UNSUPPORTED = -10, /* not available on this system */
    IRS_ERR_NO_MEMORY = -11,   /* out of memory, or too many ports or channels open */
    IRS_ERR_ACCESS = -12       /* irstackd refused this user: not of its group */
};

/* Which end of the link a port plays. */
enum irs_role {
    IRS_ROLE_COMPUTER = 0, /* discovers devices and connects to them */
    IRS_ROLE_DEVICE = 1    /* answers discovery and accepts connections to its services */
};

/* What the channel carries. */
enum irs_mode {
    IRS_MODE_IRCOMM = 0, /* COM-port emulation: bytes as over a serial cable */
    IRS_MODE_RAW = 1     /* TinyTP data as it is, for services that are not IrCOMM */
};

/* How far a port's link has come (irs_port_status). */
enum irs_phase {
    IRS_PHASE_IDLE = 0,      /* no discovery, connect or listen under way */
    IRS_PHASE_SEARCHING = 1, /* looking for a peer */
    IRS_PHASE_CONNECTED = 2, /* linked to a peer, the channel not yet open */
    IRS_PHASE_OPEN = 3       /* the channel is open */
};

/* What the library writes to the log (irs_set_log). */
enum irs_log_kind {
    IRS_LOG_TRACE = 0, /* the frame trace, in pieces as they come, each line led by a line break */
    IRS_LOG_ERROR = 1  /* a failure the user should see: one line without a line break */
};

#define IRS_NAME_MAX 59        /* class and attribute names together, in bytes */
#define IRS_PORTS_MAX 16       /* ports open at once in one process */
#define IRS_CHANNELS_MAX 4     /* channels over one link at once, and services a device offers */
#define IRS_NICKNAME_SIZE 33   /* with its terminating null */
#define IRS_HINTS_SIZE 160     /* with its terminating null */
#define IRS_ERROR_TEXT_SIZE 64 /* with its terminating null */
#define IRS_WINDOW_MAX 7       /* frames a station may take before it answers */
#define IRS_FRAME_MIN 64       /* bytes of a frame's information field, at the least */
#define IRS_FRAME_MAX 2048     /* and at the most */

/* A device found by discovery. */
typedef struct irs_device {
    uint32_t address;                 /* its link address */
    uint16_t hints;                   /* first hint byte in the low byte, second in the high */
    char address_text[12];            /* the address as the number reads, most significant byte
                                       * first: 0x3412CDAB is "34-12-CD-AB" */
    char hint_names[IRS_HINTS_SIZE];  /* "PDA/Palmtop, IrCOMM"; "" when no bit has a name */
    char nickname[IRS_NICKNAME_SIZE]; /* unprintable bytes as '?' */
} irs_device;

/* A port's link as irs_port_status finds it. */
typedef struct irs_port_state {
    int phase;             /* an irs_phase */
    uint32_t peer_address; /* the peer's link address once connected, else 0 */
    char peer_text[12];    /* peer_address as address_text gives it once connected, else "" */
    uint32_t speed;        /* the link's bit/s once connected, else 0 */
    uint32_t port_error;   /* the system's error number that showed the port lost (errno on POSIX,
                            * GetLastError() on Windows); 0 while well */
    char last_error[IRS_ERROR_TEXT_SIZE]; /* why the last link failed; "" when none did */
} irs_port_state;

/* A channel as irs_channel_status finds it. */
typedef struct irs_channel_state {
    int open;            /* 1 while the channel carries data, 0 once it has ended */
    long available;      /* bytes irs_read would return at once */
    long room;           /* bytes irs_write would queue at once; 0 once ended */
    long unacknowledged; /* bytes queued or sent that the peer has not acknowledged; exact once
                          * the channel has ended */
} irs_channel_state;

/* Receives the library's output: `kind` is an irs_log_kind, `text` is not null-terminated. */
typedef void (*irs_log_fn)(void* context, int kind, const char* text, size_t length);

/* A short text for an error code; never null ("unknown error" for other values). */
const char* irs_strerror(int error);

/* Opens the serial port at `path` with transceiver variant 'a' (speed stepped by RTS pulses), 'b'
 * (speed set by the levels of DTR and RTS) or 'p' (plain: no transceiver behind the lines, which
 * stay raised; the port's speed is the link's, and only the speeds from 9600 to 115200 that the
 * serial device accepts are offered, each tried here), upper or lower case; any other letter is
 * IRS_ERR_ARG. Offers speeds up to `max_speed` bit/s (0: the variant's fastest; else at least
 * 9600), in `role`. Nothing is sent until discovery, connect or listen. Stores the handle in
 * `*port`. The port is held exclusively until irs_close. IRS_ERR_PORT when it is missing, not a
 * serial device (a file, /dev/null), not allowed, or busy: held by another program or already open
 * in this one; the IRS_LOG_ERROR line says which ("port busy" for the last). A path
 * "irstackd:NAME" opens port NAME of the irstackd daemon through its socket in
 * $IRSTACK_SOCKET_DIR (default /run/irstack), shared with the daemon's other clients; every call
 * then works as in-process. IRS_ERR_PORT when no daemon answers there, IRS_ERR_ACCESS when it
 * refuses this user, IRS_ERR_UNSUPPORTED on Windows. */
int irs_open(const char* path, char variant, uint32_t max_speed, int role, irs_port** port);
/* Caps what the link negotiates: windows of up to `max_window` frames (1 to IRS_WINDOW_MAX) and
 * information fields of up to `max_frame` bytes (IRS_FRAME_MIN to IRS_FRAME_MAX); the defaults are
 * the largest. While the port's station is stopped: before connect or listen (else
 * IRS_ERR_STATE). */
int irs_set_link_limits(irs_port* port, int max_window, int max_frame);
/* Sends the frame trace and the errors of every port in the process to `log`, called with
 * `context` from the library's threads one call at a time; null (the default) drops them. IRS_OK.
 * Inside `log`, the calls that wait for the library's threads or stop them (irs_close,
 * irs_channel_close, irs_channel_abort, irs_discover, irs_connect, irs_connect_lsap, irs_listen,
 * irs_query) and irs_set_log answer IRS_ERR_STATE, as do irs_set_link_limits and
 * irs_set_identity while another call on its port is under way, and irs_read and irs_write while
 * another thread reads or writes that channel; reads and writes there never wait, whatever their
 * time-out. All others work. What the library would log from there is dropped. */
int irs_set_log(irs_log_fn log, void* context);
/* Stores the link's phase, peer, speed and errors in `*status`; it may be called from another
 * thread while a discovery, connect or listen waits. */
int irs_port_status(irs_port* port, irs_port_state* status);
/* Ends the link, closes every channel and the port, and frees the handle and its channels' handles;
 * waits in other threads on them end with IRS_ERR_HANDLE. */
int irs_close(irs_port* port);

/* Computer role: searches until the first round of discovery in which a device answered, or for
 * `timeout_ms` (at least 1) when none does, and stores up to `max_devices` devices found; returns
 * how many (0: none answered). Not while a channel is open or being opened. */
int irs_discover(irs_port* port, int timeout_ms, irs_device* devices, int max_devices);
/* Device role: the nickname (1 to IRS_NICKNAME_SIZE - 1 printable ASCII bytes) and hint bits
 * (first hint byte in the low byte, second in the high; the extension bits are the library's)
 * the port answers discovery with; without it, the IrCOMM hint alone. While the port's station
 * is stopped: before listen (else IRS_ERR_STATE). */
int irs_set_identity(irs_port* port, const char* nickname, uint16_t hints);
/* Computer role: opens a channel to the service registered under `class_name` and `attribute`
 * (null: IrCOMM's), within `timeout_ms` (negative: no limit): over the link already up when a
 * channel is open (the same device), else over a new link to the first device in range.
 * IRS_ERR_NO_MEMORY when the link already carries IRS_CHANNELS_MAX channels; IRS_ERR_NO_SERVICE
 * when the device has no such service or refuses the channel. */
int irs_connect(irs_port* port, const char* class_name, const char* attribute, int mode,
                int timeout_ms, irs_channel** channel);
/* Computer role: as irs_connect, to the fixed selector `lsap` (0 to 127) without asking. */
int irs_connect_lsap(irs_port* port, int lsap, int mode, int timeout_ms, irs_channel** channel);
/* Device role: offers a service under `class_name` and `attribute` (null: IrCOMM's) and waits up
 * to `timeout_ms` (negative: no limit) for a computer to open its channel. Threads may listen on
 * different services at once, up to IRS_CHANNELS_MAX (else IRS_ERR_NO_MEMORY); a service stays
 * offered until the port closes or its last channel closes with no listen waiting. A second
 * listen on a service already awaited or open: IRS_ERR_STATE. */
int irs_listen(irs_port* port, const char* class_name, const char* attribute, int mode,
               int timeout_ms, irs_channel** channel);

/* Reads what has arrived, up to `size` bytes, waiting up to `timeout_ms` (0: one look; negative:
 * no limit) for the first; returns the bytes read. IRS_ERR_PEER_GONE once the channel has ended
 * and nothing is left to read. */
long irs_read(irs_channel* channel, void* buffer, size_t size, int timeout_ms);
/* Queues `size` bytes in order, waiting up to `timeout_ms` (negative: until all are queued) for
 * room; returns the bytes queued, which on a time-out may be fewer than `size`, or
 * IRS_ERR_TIMEOUT when none were. */
long irs_write(irs_channel* channel, const void* data, size_t size, int timeout_ms);
/* Bytes that irs_read would return at once. */
long irs_available(irs_channel* channel);
/* A descriptor that polls readable while bytes wait or once the channel has ended, and writable
 * while irs_write would queue at least one byte at once or once the channel has ended (so that
 * the write reports the end), as a socket would. One per channel, kept current by the library;
 * only for poll or select, never read, written or closed by the caller, and valid until
 * irs_channel_close. IRS_ERR_UNSUPPORTED on Windows. */
int irs_fd(irs_channel* channel);
/* Stores whether the channel is open, the bytes waiting to be read, the room to write and the
 * bytes not yet acknowledged in `*status`; until irs_channel_close. */
int irs_channel_status(irs_channel* channel, irs_channel_state* status);
/* How long irs_channel_close waits for the channel's queued bytes to be acknowledged:
 * `linger_ms` 0 to 600000 (10000 by default; 0 drops them at once), else IRS_ERR_ARG. */
int irs_channel_set_linger(irs_channel* channel, int linger_ms);
/* Sends what was queued first, waiting up to the linger time for the peer to acknowledge it, then
 * ends the channel with an LM disconnect while other channels of the link stay open; the last
 * channel's close ends the link too, so the peer learns it at once. The port stays open for
 * another discovery or connection, and sends nothing until one is asked for. Returns IRS_OK when
 * every queued byte was acknowledged, IRS_ERR_TIMEOUT when the linger ran out (the rest is
 * dropped), IRS_ERR_PEER_GONE or IRS_ERR_PORT_LOST when the channel had ended with bytes still
 * unacknowledged. The channel is closed in every case: the handle is invalid once it returns and
 * every call on it answers IRS_ERR_HANDLE. */
int irs_channel_close(irs_channel* channel);
/* The abortive close: drops what is queued and closes at once, as irs_channel_close otherwise
 * does (the peer learns of it, the handle is invalid afterwards). IRS_OK. */
int irs_channel_abort(irs_channel* channel);

/* What a channel is, as irs_channel_describe finds it. */
typedef struct irs_channel_info {
    int local_lsap;                    /* this end's selector */
    int peer_lsap;                     /* the peer's selector */
    int mode;                          /* an irs_mode */
    char class_name[IRS_NAME_MAX + 1]; /* the names it was opened with: IrCOMM's for null */
    char attribute[IRS_NAME_MAX + 1];  /* names, "" when opened by selector */
} irs_channel_info;

/* Stores the channel's selectors, mode and names in `*info`; either role, from any thread. */
int irs_channel_describe(irs_channel* channel, irs_channel_info* info);

/* The type of a value a device's IAS answers. */
enum irs_ias_type {
    IRS_IAS_MISSING = 0, /* an entry without a value */
    IRS_IAS_INTEGER = 1, /* in `integer` */
    IRS_IAS_OCTETS = 2,  /* in `bytes` */
    IRS_IAS_STRING = 3   /* in `bytes`, null-ended, with its character set (0: ASCII) */
};

#define IRS_IAS_VALUE_SIZE 256 /* bytes of one value kept, a string's null included */

/* One value of a device's IAS (irs_query). */
typedef struct irs_ias_value {
    int type;           /* an irs_ias_type */
    uint16_t object_id; /* the object that holds it */
    int32_t integer;
    uint8_t charset;
    size_t length;                     /* bytes of the value as sent */
    uint8_t bytes[IRS_IAS_VALUE_SIZE]; /* octets or string, cut to the size; a string null-ended */
} irs_ias_value;

/* Computer role: asks a device's IAS for the values under `class_name` and `attribute` (each not
 * empty, together at most IRS_NAME_MAX bytes) within `timeout_ms` (negative: no limit), over the
 * link already up when a channel is open, else over a new link to the first device in range that
 * ends again afterwards. Stores up to `max_values` values and returns how many; IRS_ERR_NO_SERVICE
 * when the device has no such class or attribute; IRS_ERR_NO_MEMORY when the link carries
 * IRS_CHANNELS_MAX channels. */
int irs_query(irs_port* port, const char* class_name, const char* attribute, int timeout_ms,
              irs_ias_value* values, int max_values);

#ifdef __cplusplus
}
#endif

#endif
