// The undo folder written from a run, and applied to a machine.
#include "dryrun/undo.h"

#include "image/machine_image.h"
#include "image/reg_syntax.h"
#include "image/text_codec.h"

#include <filesystem>
#include <sstream>

namespace dryrun {

namespace fs = std::filesystem;

namespace {

const char kCopy[] = "copy ";
const char kTo[] = " to ";
const char kDelete[] = "delete ";
const char kSetAttributes[] = "set the attributes of ";
const char kAttributes[] = " (attributes: ";

// Key paths in the event log name their root; a bare path is below
// HKEY_LOCAL_MACHINE, where the program works.
std::string FullKeyPath(const std::string& path) {
    if (path.rfind("HKEY_", 0) == 0 || path.rfind("HK", 0) == 0) return path;
    return "HKEY_LOCAL_MACHINE\\" + path;
}

void WriteSnapshot(image::RegWriter& writer, const sim::RegKey& key, const std::string& path,
                   size_t depth) {
    writer.Key(path);
    for (const sim::RegValue& value : key.values) writer.Value(path, value);
    if (depth >= image::kMaxDepth) return;
    for (const auto& sub : key.subkeys) WriteSnapshot(writer, *sub, path + "\\" + sub->name, depth + 1);
}

// "PATH (attributes: words)" -> PATH and the attribute bits.
bool SplitAttributes(const std::string& text, std::string* path, DWORD* attributes) {
    const size_t at = text.rfind(kAttributes);
    if (at == std::string::npos || text.back() != ')') return false;
    *path = text.substr(0, at);
    const std::string words =
        text.substr(at + sizeof kAttributes - 1, text.size() - at - sizeof kAttributes);
    return image::ParseAttributes(words, attributes);
}

}  // namespace

bool WriteUndo(const std::string& folder, const Report& report, const sim::Machine& before,
               const sim::Machine& after, const image::RegFormat& format, std::string* error) {
    std::error_code ec;
    if (!fs::create_directory(folder, ec)) {
        *error = folder + ": cannot create the folder (" + ec.message() + ")";
        return false;
    }

    // The registry, undone from the last change back to the first.
    image::RegFormat undoFormat = format;
    undoFormat.branches.clear();
    undoFormat.trailingBlankLines = 1;
    undoFormat.finalNewline = true;
    image::RegWriter writer(undoFormat);
    size_t registryChanges = 0;
    for (auto it = after.events.rbegin(); it != after.events.rend(); ++it) {
        const sim::Event& e = *it;
        if (!e.ok) continue;
        if (e.deletedKey) {  // by RegDeleteKeyA, or with a removed device
            WriteSnapshot(writer, *e.deletedKey, FullKeyPath(e.target), 0);
            ++registryChanges;
        } else if (e.api == sim::Api::RegSetValueExA) {
            const std::string path = FullKeyPath(e.target);
            writer.Key(path);
            if (e.oldValue) writer.Value(path, *e.oldValue);
            else writer.DeleteValue(e.valueName);
            ++registryChanges;
        }
    }
    const std::string regPath = (fs::path(folder) / "undo.reg").string();
    if (!image::WriteHostFile(regPath, writer.Finish())) {
        *error = regPath + ": cannot write";
        return false;
    }

    // The files, and the README that says where each goes.
    sim::FileSystem copies;
    std::ostringstream copyLines, deleteLines, attributeLines;
    for (const Change& c : report.changes) {
        const sim::FileEntry* old = before.files.Find(c.target);
        switch (c.kind) {
        case Change::Kind::FileDeleted:
        case Change::Kind::FileRewritten:
            if (!old || old->directory) break;
            if (c.done) {
                copies.AddFile(old->path, old->data, old->attributes);
                copyLines << "  " << kCopy << "files/" << image::HostRelativePath(old->path) << kTo << old->path
                          << kAttributes << image::AttributeWords(old->attributes) << ")\n";
            } else if (c.attributesChanged) {
                attributeLines << "  " << kSetAttributes << old->path << kAttributes
                               << image::AttributeWords(old->attributes) << ")\n";
            }
            break;
        case Change::Kind::FileCreated:
            if (c.done) deleteLines << "  " << kDelete << c.target << "\n";
            break;
        case Change::Kind::FileAttributes:
            if (old) attributeLines << "  " << kSetAttributes << old->path << kAttributes
                                    << image::AttributeWords(old->attributes) << ")\n";
            break;
        default:
            break;
        }
    }
    std::string fsError;
    if (!copies.Entries().empty() &&
        !image::SaveToHost(copies, (fs::path(folder) / "files").string(), &fsError)) {
        *error = folder + "/files: " + fsError;
        return false;
    }

    std::ostringstream readme;
    readme << "How to undo the dry run of " << report.image << " (" << report.systemName << ")\n\n";
    readme << "1. Registry: import undo.reg on the machine (regedit undo.reg). It undoes the run's "
           << registryChanges << " registry changes (deleted keys, set values), the last one first.\n\n";
    readme << "2. Files: copy each file below back to where it goes and give it the attributes shown.\n";
    const std::string copied = copyLines.str(), deleted = deleteLines.str(), attrs = attributeLines.str();
    readme << (copied.empty() ? "  (no file was deleted or rewritten)\n" : copied);
    if (!deleted.empty()) readme << "\n   The run created these files; delete them:\n" << deleted;
    if (!attrs.empty()) readme << "\n   The run changed the attributes of these files; set them back:\n" << attrs;
    readme << "\n3. What no file can undo:\n";
    bool any = false;
    for (const Change& c : report.changes) {
        if (!c.done) continue;
        if (c.kind == Change::Kind::DeviceRemoved) {
            readme << "  - The device " << c.target << " was removed; it comes back when Windows "
                   << "detects it again (plug it in again, or run Add New Hardware) once undo.reg "
                   << "has restored its keys.\n";
            any = true;
        } else if (c.kind == Change::Kind::ProgramStarted) {
            readme << "  - " << c.target << " " << c.parameters << " was started: the Windows Installer "
                   << "removes the product; install it again to undo that.\n";
            any = true;
        } else if (c.kind == Change::Kind::WindowClosed) {
            readme << "  - The window \"" << c.target << "\" was asked to close: start its program "
                   << "again.\n";
            any = true;
        }
    }
    if (!any) readme << "  nothing\n";
    const std::string readmePath = (fs::path(folder) / "README.txt").string();
    if (!image::WriteHostFile(readmePath, readme.str())) {
        *error = readmePath + ": cannot write";
        return false;
    }
    return true;
}

bool ApplyUndo(const std::string& folder, sim::Machine& machine, image::InputError* diag) {
    auto fail = [&](const std::string& file, int line, const std::string& message) {
        diag->file = file;
        diag->line = line;
        diag->message = message;
        return false;
    };
    const std::string regPath = (fs::path(folder) / "undo.reg").string();
    const std::string readmePath = (fs::path(folder) / "README.txt").string();
    std::string regBytes, readme;
    if (!image::ReadHostFile(regPath, &regBytes)) return fail(regPath, 0, "missing or unreadable");
    if (!image::ReadHostFile(readmePath, &readme)) return fail(readmePath, 0, "missing or unreadable");
    image::RegFormat format;
    format.codePage = machine.codePage;  // a REGEDIT4 undo file is in the machine's
    if (!image::ReadRegFile(regBytes, regPath, machine.registry, &format, diag)) return false;

    sim::FileSystem copies;
    std::error_code ec;
    const std::string filesPath = (fs::path(folder) / "files").string();
    std::string fsError;
    if (fs::is_directory(filesPath, ec) && !image::LoadFromHost(copies, filesPath, &fsError))
        return fail(filesPath, 0, fsError);

    std::istringstream in(readme);
    std::string raw;
    int number = 0;
    while (std::getline(in, raw)) {
        ++number;
        const std::string line = image::Trim(raw);
        std::string path;
        DWORD attributes = 0;
        if (line.rfind(kCopy, 0) == 0) {
            const size_t to = line.find(kTo);
            if (to == std::string::npos || !SplitAttributes(line.substr(to + sizeof kTo - 1), &path, &attributes))
                return fail(readmePath, number, "a copy line without \" to PATH (attributes: ...)\"");
            const auto data = copies.Read(path);
            if (!data) return fail(readmePath, number, "no copy of " + path + " below files/");
            machine.files.AddFile(path, *data, attributes);
        } else if (line.rfind(kDelete, 0) == 0) {
            machine.files.Remove(line.substr(sizeof kDelete - 1));
        } else if (line.rfind(kSetAttributes, 0) == 0) {
            if (!SplitAttributes(line.substr(sizeof kSetAttributes - 1), &path, &attributes))
                return fail(readmePath, number, "an attributes line without \"(attributes: ...)\"");
            if (sim::FileEntry* entry = machine.files.Find(path)) entry->attributes = attributes;
        }
    }
    return true;
}

}  // namespace dryrun
