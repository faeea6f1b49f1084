// Where each file of a recovery goes. A selection from one folder is
// written flat into the destination; one that spans several folders keeps
// them, below the deepest folder common to the whole selection, so that
// 2,000 photos from thirty folders come back in their thirty folders.
// Folders are made one component at a time from an open descriptor of the
// one above, never through a link, so a name from the disk or a link
// planted in the destination cannot lead outside it.
#pragma once

#include "jobs/job_note.h"
#include "platform/output_guard.h"
#include "scan/recovery_base.h"
#include "scan/safe_name.h"

#include <QDir>
#include <QString>
#include <QStringList>
#include <map>
#include <optional>
#include <vector>

class recovery_tree_c {
public:
    // keep_tree false writes every file flat, whatever the selection spans.
    // Each folder made or entered passes the output guard against
    // scanned_device_path; a mount point is never entered.
    recovery_tree_c(const QDir& destination, bool keep_tree, const QString& scanned_device_path = {});
    ~recovery_tree_c();
    recovery_tree_c(const recovery_tree_c&) = delete;
    recovery_tree_c& operator=(const recovery_tree_c&) = delete;

    // The first pass: the folders of every row to be written, from
    // recovery_base_c::written_folders.
    void add(const std::vector<written_folder_s>& folders);
    // Whether the rows added span more than one folder (and so keep them).
    bool keeps_tree() const { return keep_ && spans_; }

    // The folder a row with these folders is written into, made as needed:
    // *target is what to hand to recover_one, *shown the same folder under
    // the destination's own path (for what the person is told). Returns
    // false, with the reason in *why, when a folder cannot be made.
    bool folder_for(const std::vector<written_folder_s>& folders, QDir* target, QString* shown, QString* why);

    // Gives the folders this recovery made the times their entries hold.
    // Call once every file is written: writing into a folder changes its
    // time.
    void stamp_folders();

    // What the person should be told about where files went (a folder
    // written beside a mount point of the same name), a note each.
    const job_notes_t& notes() const { return notes_; }
    // The names the destination's file system takes; one answer for the
    // whole tree, as no mount point below it is entered.
    name_rules_e name_rules();

private:
    struct made_s {
        QString name;      // its name in its parent, as made
        QStringList path;  // the names as made from below the destination
        int64_t time = 0;  // its entry's time; 0 for none
        bool ours = false; // made by this recovery (not one that was there)
    };

    int open_below(const QStringList& path) const;
    bool make_folder(int parent, const QString& wanted, const QString& parent_shown, made_s* made, QString* why);

    QString destination_;
    std::optional<name_rules_e> rules_;
    bool keep_ = true;
    bool first_ = true;
    bool spans_ = false;
    std::vector<QString> first_folders_;  // names of the first row's folders
    size_t common_ = 0;                   // folders every row shares
    int top_ = -1;                        // the destination, opened
    bool proc_fd_ = false;                // /proc/self/fd reaches open folders
    // Each folder made or entered, keyed by its disk names below the common
    // root (joined with NUL), with what it was made as.
    std::map<QString, made_s> made_;
    QString open_key_;
    int open_fd_ = -1;
    QString open_shown_;
    platform::folder_guard_c guard_;
    job_notes_t notes_;
};
