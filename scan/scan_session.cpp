#include "scan/scan_session.h"

#include <QFile>
#include <sys/stat.h>

namespace {

// A part of an image is named "image.img:pN", which stat does not find: an
// image file, not a disk.
bool path_is_block_device(const QString& path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISBLK(st.st_mode);
}

}  // namespace

bool scan_session_c::scannable(const volume_item_s& volume, bool deep)
{
    return volume.locked || choose_scanner(volume, deep) != scanner_kind_e::none;
}

int scan_session_c::start(const volume_item_s& volume, bool deep, QString* reason)
{
    if (running_)
        return -1;
    volume_ = volume;
    deep_ = deep;
    return restart(deep, reason);
}

int scan_session_c::restart(bool deep, QString* reason)
{
    if (running_)
        return -1;
    deep_ = deep;
    // Waits for a running recovery: its scanner's store is about to be reset.
    if (service_.start_scan(volume_, deep_, reason) != 0)
        return -1;
    begin(false);
    return 0;
}

void scan_session_c::begin(bool loaded)
{
    running_ = true;
    loaded_ = loaded;
    requested_stop_ = 0;
    paused_ = false;
    searching_lost_ = false;
    lost_waiting_ = false;
    // A loaded scan reads nothing from the disk to be listed.
    block_source_ = !loaded && path_is_block_device(volume_.device_path);
    image_advice_given_ = false;
}

scan_service_c::offered_volume_fn scan_session_c::offered_in(const std::vector<volume_item_s>& volumes)
{
    return [&volumes](const QString& device, volume_item_s* volume) {
        for (const volume_item_s& offered : volumes) {
            if (!offered.dos_device.isEmpty() && offered.device_path == device) {
                *volume = offered;
                return true;
            }
        }
        return false;
    };
}

scan_service_c::opened_scan_file_s scan_session_c::open_scan_file(const QByteArray& path,
                                                                  const scan_service_c::offered_volume_fn& offered)
{
    scan_service_c::opened_scan_file_s opened;
    if (running_) {
        opened.reason = "a scan is running";
        return opened;
    }
    opened = service_.open_scan_file(path, offered);
    if (opened.outcome != scan_service_c::opened_scan_file_s::outcome_e::opened)
        return opened;
    volume_ = opened.volume;
    deep_ = true;
    begin(true);
    return opened;
}

bool scan_session_c::request_stop()
{
    if (!running_)
        return false;
    requested_stop_ = stop_keep_results;
    service_.scanner().set_stop(stop_keep_results);
    service_.scanner().set_pause(0);
    return true;
}

bool scan_session_c::toggle_pause()
{
    if (!service_.scanning())
        return false;
    paused_ = !paused_;
    service_.scanner().set_pause(paused_ ? 1 : 0);
    return paused_;
}

void scan_session_c::abandon()
{
    service_.stop_content_pass();
    service_.request_lost_pass_stop();
    searching_lost_ = false;
    lost_waiting_ = false;
    if (running_) {
        requested_stop_ = stop_abandon;
        service_.scanner().set_stop(stop_abandon);
        service_.scanner().set_pause(0);
    }
}

int scan_session_c::stop_code() const
{
    return requested_stop_ != 0 ? requested_stop_ : service_.scanner().get_stop();
}

scan_session_c::scan_end_s scan_session_c::end_scan(int stop_code, bool nothing_found, bool listed,
                                                    const QString& list_failure)
{
    scan_end_s end;
    const bool abandoned = stop_code == stop_abandon;
    // The search for lost folders and records follows the listing; a
    // listing that found nothing waits for it before the deep scan is
    // offered, and a formatted volume's notice waits for what it finds.
    searching_lost_ = !abandoned && list_failure.isEmpty() && service_.start_lost_pass() == 0;
    if (searching_lost_) {
        lost_nothing_found_ = nothing_found;
        lost_left_.restart();
    }
    if (!abandoned && listed) {
        service_.start_content_pass();
        checking_ = service_.content_pass_running();
    }
    running_ = false;
    end.offer_saving = !abandoned && service_.kind() == scanner_kind_e::raw && !loaded_;
    // A scan that could not read its volume says so first: an empty or short
    // list alone would read as "nothing was deleted here".
    end.failure = abandoned ? QString() : list_failure.isEmpty() ? service_.scanner().scan_failure() : list_failure;
    if (end.failure.isEmpty() && !abandoned && !searching_lost_)
        end.notice = service_.scanner().notice_key();
    end.offer_deep_scan = nothing_found && !searching_lost_ && stop_code != stop_keep_results && !deep_;
    return end;
}

bool scan_session_c::take_image_advice(bool advice)
{
    if (!advice || image_advice_given_)
        return false;
    image_advice_given_ = true;
    return true;
}

scan_session_c::lost_end_e scan_session_c::end_lost_pass()
{
    if (!searching_lost_ || service_.lost_pass_running())
        return lost_end_e::none;
    // A running copy reads the listing's scanner: the search's files are
    // taken in once it has ended.
    if (service_.recovering()) {
        lost_waiting_ = true;
        return lost_end_e::waiting;
    }
    lost_waiting_ = false;
    searching_lost_ = false;
    if (!service_.adopt_lost_pass())
        return lost_end_e::kept;
    // The adoption ended the content pass over the listing's scanner; its
    // files are judged again in the new one.
    checking_ = false;
    unreadable_rows_.clear();
    return lost_end_e::adopted;
}

bool scan_session_c::after_adoption(bool found)
{
    service_.start_content_pass();
    checking_ = service_.content_pass_running();
    return !found && lost_nothing_found_ && !deep_;
}

bool scan_session_c::end_content_pass()
{
    if (!checking_ || service_.content_pass_running())
        return false;
    checking_ = false;
    return true;
}

bool scan_session_c::stop_passes()
{
    if (running_ || !(checking_ || searching_lost_))
        return false;
    service_.request_content_pass_stop();
    service_.request_lost_pass_stop();
    return true;
}

int64_t scan_session_c::lost_seconds_left()
{
    return searching_lost_ ? lost_left_.seconds_left(service_.lost_pass_progress()) : -1;
}

int scan_session_c::start_recovery(const QDir& destination, std::vector<int64_t> ids, row_lookup_fn lookup,
                                   uint64_t needed_bytes)
{
    if (running_)
        return -1;
    const auto count = int64_t(ids.size());
    if (service_.start_recovery(destination, std::move(ids), std::move(lookup), needed_bytes) != 0)
        return -1;
    recovering_ = true;
    recovery_total_ = count;
    return 0;
}

scan_session_c::recovery_end_s scan_session_c::end_recovery(int64_t written, int64_t failed)
{
    recovery_end_s end;
    end.ours = recovering_;
    recovering_ = false;
    if (end.ours)
        end.left = std::max<int64_t>(0, recovery_total_ - written - failed - service_.writer().tally().skipped);
    return end;
}

job_notes_t scan_session_c::destination_notes(const QDir& destination) const
{
    if (!service_.destination_shares_device(destination))
        return {};
    return {job_note_s{"note_destination_on_scanned_disk", {destination.absolutePath()}}};
}

bool scan_session_c::add_unreadable_row(int64_t id, bool tagged_by_scanner)
{
    const bool added = unreadable_rows_.insert(id).second;
    // Tagged by the scanner already: counted in its own figure.
    if (added && !tagged_by_scanner)
        ++unreadable_found_by_copies_;
    return added;
}

int64_t scan_session_c::unreadable_files() const
{
    const int64_t tagged = service_.scanner().unreadable_file_count();
    return tagged < 0 ? -1 : tagged + unreadable_found_by_copies_;
}

void scan_session_c::forget_unreadable_rows()
{
    unreadable_rows_.clear();
    unreadable_found_by_copies_ = 0;
}

void scan_session_c::leave()
{
    // The store a running copy reads goes with the page: the run ends after
    // the file being written, rather than holding the window still until
    // every file is written, and says what it wrote.
    if (recovering_)
        service_.writer().request_stop();
    // Waits for a running recovery before the store goes.
    if (!running_)
        service_.reset_scanner();
}
