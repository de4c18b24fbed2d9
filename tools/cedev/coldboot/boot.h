// A cold boot's registry: the saved registry written in Wine's format, each root into
// a text of its own, with the factory registry's links put back where they belong.
#ifndef CEDEV_HOST_BOOT_H
#define CEDEV_HOST_BOOT_H

#include "savedfile.h"
#include "winereg.h"

#include <deque>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// Writes the saved keys of both roots in Wine's format, as the reader hands them over:
// each root's text is its factory header, the saved keys, then the factory's links
// whose parent key was saved. A saved key where the factory has a link, or below one,
// gives way to it (the saved registry holds no links, so such a key is one the link
// hid). Key names compare without regard to ASCII case, as the registry's do.
class BootWriter : public SavedSink {
public:
    // The factory files' links must outlive the writer; so must the texts.
    BootWriter(const WineLinks &machine, WineText *machineText, const WineLinks &user, WineText *userText,
               unsigned long long time);

    void Key(Root root, std::u16string_view path) override;
    void Value(std::u16string_view name, uint32_t type, std::string_view data) override;

    // Appends the links that belong in a root's text, which is then complete.
    void Finish(Root root);

private:
    struct PerRoot {
        const WineLinks *factory = nullptr;
        WineText *text = nullptr;
        std::deque<std::u16string> paths;  // the folded paths of the factory's links, in order
        std::unordered_set<std::u16string_view> links;
        std::unordered_map<std::u16string_view, bool> parents;  // of the links: saved or not
        std::vector<bool> lengths;  // the lengths of those paths, to look up only what may match

        void Note(size_t length);
    } roots_[2];
    std::u16string folded_;
    WineText *current_ = nullptr;
    unsigned long long time_;
};

#endif
