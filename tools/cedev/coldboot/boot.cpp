#include "boot.h"

#include <algorithm>

namespace {

// Folds a key path as the registry compares names: without regard to ASCII case.
void Fold(std::u16string_view s, std::u16string *out)
{
    out->resize(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char16_t c = s[i];
        (*out)[i] = c >= u'A' && c <= u'Z' ? c + 32 : c;
    }
}

}  // namespace

void BootWriter::PerRoot::Note(size_t length)
{
    if (lengths.size() <= length)
        lengths.resize(length + 1);
    lengths[length] = true;
}

BootWriter::BootWriter(const WineLinks &machine, WineText *machineText, const WineLinks &user, WineText *userText,
                       unsigned long long time)
    : time_(time)
{
    const WineLinks *files[2] = {&machine, &user};
    WineText *texts[2] = {machineText, userText};
    for (int i = 0; i < 2; ++i) {
        PerRoot &r = roots_[i];
        r.factory = files[i];
        r.text = texts[i];
        r.lengths.resize(1);
        r.text->Held().append(files[i]->header);
        for (const WineLink &b : files[i]->links) {
            Fold(b.path, &folded_);
            r.paths.push_back(folded_);
            r.links.insert(r.paths.back());
            r.Note(folded_.size());
            size_t slash = folded_.rfind(u'\\');
            if (slash != std::u16string::npos) {
                r.parents.emplace(std::u16string_view(r.paths.back()).substr(0, slash), false);
                r.Note(slash);
            }
        }
    }
}

void BootWriter::Key(Root root, std::u16string_view path)
{
    PerRoot &r = roots_[static_cast<int>(root)];
    Fold(path, &folded_);
    std::u16string_view folded = folded_;
    current_ = nullptr;
    size_t longest = std::min(folded.size(), r.lengths.size() - 1);
    for (size_t i = 0; i <= longest; ++i) {
        if (!r.lengths[i] || (i < folded.size() && folded[i] != u'\\'))
            continue;
        std::u16string_view prefix = folded.substr(0, i);
        auto parent = r.parents.find(prefix);
        if (parent != r.parents.end())
            parent->second = true;
        if (r.links.count(prefix))
            return;
    }
    AppendWineKey(r.text, path, time_);
    current_ = r.text;
}

void BootWriter::Value(std::u16string_view name, uint32_t type, std::string_view data)
{
    if (current_)
        AppendWineValue(current_, name, type, data);
}

void BootWriter::Finish(Root root)
{
    PerRoot &r = roots_[static_cast<int>(root)];
    for (size_t i = 0; i < r.factory->links.size(); ++i) {
        std::u16string_view folded = r.paths[i];
        size_t slash = folded.rfind(u'\\');
        if (slash == std::u16string_view::npos || r.parents.find(folded.substr(0, slash))->second) {
            r.text->Held() += '\n';
            r.text->Held().append(r.factory->links[i].text);
            r.text->Pass();
        }
    }
}
