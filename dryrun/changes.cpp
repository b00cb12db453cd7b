// The changes of a run: the event log of the machine after it (with the
// before-images the events carry) and its files against the machine before,
// turned into the report's list of changes and their summary.
#include "dryrun/dry_run.h"

#include "image/text_codec.h"

#include <algorithm>
#include <map>

namespace dryrun {

using image::UpperAscii;

namespace {

std::string ReasonForError(DWORD error, bool isKey) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND: return isKey ? "no such key" : "no such file";
    case ERROR_PATH_NOT_FOUND: return isKey ? "no such key" : "no such folder";
    case ERROR_ACCESS_DENIED: return "access denied";
    case ERROR_SHARING_VIOLATION: return "the file is in use by another program";
    case ERROR_INVALID_HANDLE: return "no key was open (the key to set it in does not exist)";
    case ERROR_NO_SUCH_DEVINST: return "no such device";
    default: return "error " + std::to_string(error);
    }
}

bool IsFileApi(sim::Api api) {
    return api == sim::Api::DeleteFileA || api == sim::Api::SetFileAttributesA ||
           api == sim::Api::CreateFileA || api == sim::Api::WriteFile || api == sim::Api::MoveFileA;
}

// Union-find over normalized file paths, so that a temporary file and the
// file it is renamed to (or the backup the original is renamed to) are one
// change of that file.
struct PathGroups {
    std::map<std::string, std::string> parent;
    std::string Find(const std::string& p) {
        auto it = parent.find(p);
        if (it == parent.end()) {
            parent[p] = p;
            return p;
        }
        if (it->second == p) return p;
        const std::string root = Find(it->second);
        parent[p] = root;
        return root;
    }
    void Join(const std::string& a, const std::string& b) {
        const std::string ra = Find(a), rb = Find(b);
        if (ra != rb) parent[rb] = ra;
    }
};

struct PathEvents {
    size_t first = 0;
    std::string shown;  // the path as the program wrote it
    std::vector<const sim::Event*> events;
    bool anyOk = false;
    const sim::Event* lastFailure = nullptr;
    const sim::Event* lastFailedDelete = nullptr;
};

void AddFileChanges(const sim::Machine& before, const sim::Machine& after, Report& report) {
    PathGroups groups;
    std::map<std::string, PathEvents> paths;
    const auto& events = after.events;
    for (size_t i = 0; i < events.size(); ++i) {
        const sim::Event& e = events[i];
        if (!IsFileApi(e.api)) continue;
        std::vector<std::string> touched = {e.target};
        if (e.api == sim::Api::MoveFileA) touched.push_back(e.newPath);
        std::string firstKey;
        for (const std::string& t : touched) {
            std::string key = sim::FileSystem::Normalize(t);
            if (key.empty()) key = UpperAscii(t);
            if (firstKey.empty()) firstKey = key;
            else groups.Join(firstKey, key);
            groups.Find(key);
            auto inserted = paths.emplace(key, PathEvents());
            PathEvents& pe = inserted.first->second;
            if (inserted.second) {
                pe.first = i;
                pe.shown = t;
            }
            pe.events.push_back(&e);
            // A failed rename of a temporary file onto the path also counts
            // for the path; a SetFileAttributesA alone changes no content.
            if (e.ok) {
                if (e.api != sim::Api::SetFileAttributesA) pe.anyOk = true;
            } else {
                pe.lastFailure = &e;
                if (e.api == sim::Api::DeleteFileA) pe.lastFailedDelete = &e;
            }
        }
    }
    // Paths of one group, the group ordered by its first event.
    std::map<std::string, std::vector<std::string>> members;
    for (const auto& entry : paths) members[groups.Find(entry.first)].push_back(entry.first);
    for (auto& group : members) {
        std::sort(group.second.begin(), group.second.end(),
                  [&](const std::string& a, const std::string& b) {
                      return paths[a].first < paths[b].first;
                  });
        for (const std::string& key : group.second) {
            const PathEvents& pe = paths[key];
            const sim::FileEntry* b = before.files.Find(pe.shown);
            const sim::FileEntry* a = after.files.Find(pe.shown);
            if (b && b->directory) b = nullptr;
            if (a && a->directory) a = nullptr;
            Change c;
            c.order = paths[group.second.front()].first;
            c.target = b ? b->path : a ? a->path : pe.shown;
            if (b) {
                c.oldSize = b->data.size();
                c.oldAttributes = b->attributes;
            }
            if (a) {
                c.newSize = a->data.size();
                c.newAttributes = a->attributes;
            }
            const bool wasReadOnly = b && (b->attributes & FILE_ATTRIBUTE_READONLY);
            auto reason = [&](const sim::Event* e) {
                if (e == nullptr) return std::string();
                c.absent = e->error == ERROR_FILE_NOT_FOUND || e->error == ERROR_PATH_NOT_FOUND;
                if (e->error == ERROR_ACCESS_DENIED && wasReadOnly) return std::string("the file is read-only");
                return ReasonForError(e->error, false);
            };
            if (b && !a) {
                c.kind = Change::Kind::FileDeleted;
            } else if (!b && a) {
                c.kind = Change::Kind::FileCreated;
            } else if (b && a) {
                c.attributesChanged = b->attributes != a->attributes;
                if (b->data != a->data) {
                    c.kind = Change::Kind::FileRewritten;
                } else if (pe.lastFailedDelete != nullptr && !pe.anyOk) {
                    c.kind = Change::Kind::FileDeleted;
                    c.done = false;
                    c.reason = reason(pe.lastFailedDelete);
                } else if (pe.anyOk) {
                    c.kind = Change::Kind::FileRewritten;
                } else if (c.attributesChanged) {
                    c.kind = Change::Kind::FileAttributes;
                } else if (pe.lastFailure != nullptr) {
                    c.kind = pe.lastFailure->api == sim::Api::DeleteFileA
                                 ? Change::Kind::FileDeleted
                                 : Change::Kind::FileRewritten;
                    c.done = false;
                    c.reason = reason(pe.lastFailure);
                } else {
                    continue;
                }
            } else {
                // Neither before nor after: a temporary file, or a file that
                // was not there to delete.
                if (pe.anyOk || pe.lastFailure == nullptr) continue;
                c.kind = pe.lastFailure->api == sim::Api::DeleteFileA ||
                                 pe.lastFailure->api == sim::Api::SetFileAttributesA
                             ? Change::Kind::FileDeleted
                             : Change::Kind::FileRewritten;
                c.done = false;
                c.reason = reason(pe.lastFailure);
            }
            report.changes.push_back(c);
        }
    }
}

}  // namespace

Report BuildReport(const std::string& image, const sim::Machine& before, const sim::Machine& after,
                   const std::vector<std::string>& markers, int exitCode) {
    Report report;
    report.image = image;
    report.platformId = before.platformId;
    report.majorVersion = before.majorVersion;
    report.minorVersion = before.minorVersion;
    report.servicePack = before.csdVersion;
    report.windowsDirectory = before.windowsDirectory;
    report.codePage = before.codePage;
    report.exitCode = exitCode;
    report.markers = markers;
    OsIdentity os;
    IdentifyFromVersion(os, before.platformId, before.majorVersion, before.minorVersion,
                        before.csdVersion.c_str());
    report.systemName = os.SystemName;
    report.work = WorkFor(os);

    const auto& events = after.events;
    std::vector<std::string> deletedKeys;  // upper case, in the order they went
    for (size_t i = 0; i < events.size(); ++i) {
        const sim::Event& e = events[i];
        Change c;
        c.order = i;
        c.done = e.ok;
        c.target = e.target;
        if (e.api == sim::Api::SetupDiRemoveDevice) {
            c.kind = Change::Kind::DeviceRemoved;
            if (!e.ok) c.reason = ReasonForError(e.error, false);
            c.absent = !e.ok && e.error == ERROR_NO_SUCH_DEVINST;
        } else if (e.api == sim::Api::RegDeleteKeyA || (e.deletedKey && e.ok)) {
            c.kind = Change::Kind::KeyDeleted;
            c.done = e.ok && e.deletedKey != nullptr;
            c.byDeviceRemoval = e.api != sim::Api::RegDeleteKeyA;
            if (e.deletedKey) {
                c.values = e.deletedKey->values.size();
                c.subkeys = e.deletedKey->subkeys.size();
                c.keysBelow = e.deletedKey->CountKeys() - 1;
                c.valuesBelow = e.deletedKey->CountValues() - c.values;
            }
            if (c.done) {
                deletedKeys.push_back(UpperAscii(e.target));
            } else {
                // The key itself or one below it ("hdc\00031" is not below "hdc\0003").
                const std::string upper = UpperAscii(e.target);
                bool alreadyGone = false;
                for (const std::string& gone : deletedKeys)
                    alreadyGone = alreadyGone || (upper.rfind(gone, 0) == 0 &&
                                                  (upper.size() == gone.size() || upper[gone.size()] == '\\'));
                // The event counts the subkeys the key had when it was asked for.
                if (e.error == ERROR_ACCESS_DENIED && before.family() == sim::Family::NT &&
                    e.subkeys > 0)
                    c.reason = "the key has subkeys, and the NT family deletes only keys without "
                               "subkeys";
                else if (alreadyGone && e.error == ERROR_FILE_NOT_FOUND)
                    c.reason = "already deleted earlier in the run";
                else
                    c.reason = ReasonForError(e.error, true);
                c.absent = e.error == ERROR_FILE_NOT_FOUND || e.error == ERROR_PATH_NOT_FOUND;
            }
        } else if (e.api == sim::Api::RegSetValueExA) {
            c.kind = Change::Kind::ValueSet;
            c.valueName = e.valueName;
            c.oldValue = e.oldValue;
            c.newValue = e.newValue;
            if (!e.ok) c.reason = ReasonForError(e.error, true);
        } else if (e.api == sim::Api::MessageBoxA) {
            c.kind = Change::Kind::MessageBox;
            c.caption = e.caption;
            c.target = e.message;
            c.answer = after.messageBoxAnswer == IDOK ? "OK" : "Cancel";
        } else if (e.api == sim::Api::ShellExecuteA) {
            c.kind = Change::Kind::ProgramStarted;
            c.parameters = e.parameters;
            if (!e.ok) c.reason = ReasonForError(e.error, false);
        } else if (e.api == sim::Api::SendMessageA && e.windowMessage == WM_CLOSE) {
            c.kind = Change::Kind::WindowClosed;
            if (!e.ok) c.reason = "no such window";
        } else {
            continue;
        }
        report.changes.push_back(c);
    }
    AddFileChanges(before, after, report);
    std::stable_sort(report.changes.begin(), report.changes.end(),
                     [](const Change& a, const Change& b) { return a.order < b.order; });

    Summary& s = report.summary;
    for (const Change& c : report.changes) {
        if (!c.done) {
            ++(c.absent ? s.absent : s.refused);
            if (c.attributesChanged) ++s.attributeChanges;
            continue;
        }
        switch (c.kind) {
        case Change::Kind::DeviceRemoved: ++s.devicesRemoved; break;
        case Change::Kind::KeyDeleted:
            ++s.keysDeleted;
            s.keysInside += c.keysBelow;
            s.valuesInside += c.values + c.valuesBelow;
            break;
        case Change::Kind::ValueSet: ++s.valuesSet; break;
        case Change::Kind::FileDeleted: ++s.filesDeleted; break;
        case Change::Kind::FileRewritten: ++s.filesRewritten; break;
        case Change::Kind::FileCreated: ++s.filesCreated; break;
        case Change::Kind::FileAttributes: ++s.attributeChanges; break;
        case Change::Kind::MessageBox: ++s.messageBoxes; break;
        case Change::Kind::ProgramStarted: ++s.programsStarted; break;
        case Change::Kind::WindowClosed: ++s.windowsClosed; break;
        }
    }
    report.residue = FindResidue(report, before, after);
    return report;
}

}  // namespace dryrun
