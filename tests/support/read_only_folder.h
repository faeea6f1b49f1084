// A folder no file can be created in, for the tests of what a recovery does
// with one: root writes through permissions, so as root it is a read-only
// tmpfs mounted on it; as anyone else the folder's write bits are taken.
#pragma once

#include <string>

namespace test_support {

class read_only_folder_c {
public:
    // path: an empty folder that exists.
    explicit read_only_folder_c(const std::string& path);
    ~read_only_folder_c();
    read_only_folder_c(const read_only_folder_c&) = delete;
    read_only_folder_c& operator=(const read_only_folder_c&) = delete;

    // Empty when the folder is read-only now, else why it could not be made so.
    const std::string& failure() const { return failure_; }

private:
    std::string path_;
    std::string failure_;
    bool mounted_ = false;
};

}  // namespace test_support
