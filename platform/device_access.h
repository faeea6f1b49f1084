// Disks a person may not open themselves: the window and quarvel-cli run as
// the user, and a block device they are refused is opened for them by
// another process that hands back only the descriptor: udisks2 (polkit asks
// for the password, for that one disk) or, where udisks2 is absent, our
// helper started through pkexec. Readers never see any of this: they read a
// byte source made from the descriptor.
#pragma once

#include <functional>
#include <string>

namespace platform {

// own_rights: open with this process's rights only (listing drives, probing);
// ask: a block device this process is refused is asked for, which may show a
// password prompt. Only what the person chose to scan or repair asks.
enum class device_access { own_rights, ask };

// How a descriptor is wanted: read is read-only; read_write claims the
// device exclusively (the partition table repair).
enum class descriptor_mode { read, read_write };

// Why a disk or image could not be opened, as far as the person can act on
// it. other: a reason that is not about rights (no such device, in use, not
// a disk); the rest are refusals of access, which running as a user with
// access to the disk, or reading an image of it, gets past.
enum class open_refusal_e {
    none,
    other,
    denied,          // this account may not read it, and nobody was asked
    no_agent,        // nothing could ask for the password (no polkit agent)
    dismissed,       // the password prompt was cancelled
    not_authorized,  // the system said no
    no_way_to_ask,   // neither udisks2 nor pkexec with polkit is there to ask
};

bool refusal_is_access(open_refusal_e refusal);

// The reason with, for a refusal of access, the way on named after it
// (English, for quarvel-cli and logs).
std::string with_way_out(const std::string& reason, open_refusal_e refusal);

// Asks a service for an open descriptor of device. Returns the descriptor,
// or -1 with a one-line reason and its kind; *unavailable is set when the
// service is not there at all (then the next way is tried).
using descriptor_source = std::function<int(const std::string& device, descriptor_mode mode,
                                            std::string* error, bool* unavailable, open_refusal_e* refusal)>;

// Installs the udisks2 way (a library of its own, since it needs D-Bus); an
// empty function removes it.
void set_descriptor_source(descriptor_source source);

// A descriptor of device through whatever may give one: the installed
// service, else the helper through pkexec. Returns -1 with a reason and,
// when refusal is given, its kind.
int open_device_for_user(const std::string& device, descriptor_mode mode, std::string* error,
                         open_refusal_e* refusal = nullptr);

// The pkexec helper alone. helper is its path (empty: found next to the
// executable, else in ../libexec/quarvel); pkexec is the launcher (empty:
// pkexec from PATH; a test runs the helper directly with "").
int open_through_helper(const std::string& device, descriptor_mode mode, std::string* error,
                        const std::string& helper = {}, const char* launcher = "pkexec",
                        open_refusal_e* refusal = nullptr);

// What pkexec's exit status and words mean for the person: the prompt
// dismissed, no agent to show it, polkit absent, or a plain no.
open_refusal_e pkexec_refusal(int exit_status, const std::string& said);

// Where the helper is, or an empty string when it is not installed.
std::string device_helper_path();

// One descriptor over a Unix socket (SCM_RIGHTS). send returns false on
// failure; receive returns the descriptor or -1.
bool send_descriptor(int socket, int fd);
int receive_descriptor(int socket);

// The line a root process prints once: none of this is needed.
const char* root_not_needed_note();

}  // namespace platform
