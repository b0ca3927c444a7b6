#include "ui/dialogs/FolderListing.h"

#include "app/PathText.h"
#include "core/scan/MountWatch.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace {

enum LinkKind { kNotFolder, kFolder, kNoAnswer };

QStringList texts(const std::vector<std::string>& names) {
    QStringList out;
    out.reserve(qsizetype(names.size()));
    for (const std::string& name : names)
        out.append(pathText(name));
    return out;
}

}  // namespace

// What the tasks reach the listing through: held by the listing alone, so a task that finds
// it gone knows the listing is gone. Its tasks are cancelled with it.
struct FolderListing::Inbox {
    FolderListing* owner = nullptr;
    std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
    svl::WatchedTask<int> plain;
    svl::WatchedTask<int> links;
    std::shared_ptr<std::atomic<size_t>> linkAt;  // the link the current run is resolving
};

namespace {

// Runs `fn` on the listing on the GUI thread, unless the listing is gone by then.
void post(const std::weak_ptr<FolderListing::Inbox>& inbox, std::function<void(FolderListing&)> fn) {
    QMetaObject::invokeMethod(
        qApp,
        [inbox, fn = std::move(fn)] {
            if (const std::shared_ptr<FolderListing::Inbox> in = inbox.lock(); in && in->owner)
                fn(*in->owner);
        },
        Qt::QueuedConnection);
}

// Lists `path` on the calling (watched) thread, each call watched on the folder's mount and
// each batch posted as it is read; 0 or the errno that ended the listing.
int listPlain(const std::string& path, bool hidden, const std::atomic<bool>& stop,
              const std::function<void()>& opened,
              const std::function<void(std::vector<std::string>, std::vector<std::string>)>& batch) {
    const int at = svl::openWatched(path, true);
    if (at < 0)
        return errno;
    const svl::MountKey mount = svl::mountOfDescriptor(at);
    const auto listed = svl::watchedCall(mount, [&] { return ::openat(at, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    const int openError = errno;
    ::close(at);
    if (!listed || *listed < 0)
        return openError;
    const int dir = *listed;
    opened();
    int error = 0;
    alignas(8) char buffer[32768];
    while (!stop) {
        const auto got = svl::watchedCall(mount, [&] { return ::getdents64(dir, buffer, sizeof buffer); });
        if (!got || *got < 0) {
            error = errno;
            break;
        }
        if (*got == 0)
            break;
        std::vector<std::string> folders, links;
        for (ssize_t offset = 0; offset < *got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + offset);
            offset += entry->d_reclen;
            const char* name = entry->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 || (!hidden && name[0] == '.'))
                continue;
            unsigned char type = entry->d_type;
            if (type == DT_UNKNOWN) {
                struct statx st {};
                const auto asked = svl::watchedCall(
                    mount, [&] { return ::statx(dir, name, AT_SYMLINK_NOFOLLOW, STATX_TYPE, &st); });
                if (!asked && errno == svl::kNoAnswerErrno) {
                    error = errno;
                    break;
                }
                type = asked && *asked == 0 ? (S_ISDIR(st.stx_mode) ? DT_DIR : S_ISLNK(st.stx_mode) ? DT_LNK : DT_REG)
                                            : DT_REG;
            }
            if (type == DT_DIR)
                folders.emplace_back(name);
            else if (type == DT_LNK)
                links.emplace_back(name);
        }
        if (!folders.empty() || !links.empty())
            batch(std::move(folders), std::move(links));
        if (error != 0)
            break;
    }
    ::close(dir);
    return error;
}

// Whether the link `path` leads to a folder, following it on the mounts it leads into.
int linkKind(const std::string& path) {
    const int fd = svl::openWatched(path, true);
    if (fd < 0)
        return errno == svl::kNoAnswerErrno ? kNoAnswer : kNotFolder;
    struct statx st {};
    const auto asked =
        svl::watchedCall(svl::mountOfDescriptor(fd), [&] { return ::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE, &st); });
    const int error = errno;
    ::close(fd);
    if (!asked)
        return error == svl::kNoAnswerErrno ? kNoAnswer : kNotFolder;
    return *asked == 0 && S_ISDIR(st.stx_mode) ? kFolder : kNotFolder;
}

}  // namespace

FolderListing::FolderListing(const QString& folder, bool hidden, Handlers handlers)
    : m_folder(folder), m_bytes(pathBytes(folder)), m_handlers(std::move(handlers)), m_inbox(std::make_shared<Inbox>()) {
    m_inbox->owner = this;
    const std::weak_ptr<Inbox> inbox = m_inbox;
    m_inbox->plain.start(
        [inbox, bytes = m_bytes, hidden, stop = m_inbox->stop] {
            return listPlain(
                bytes, hidden, *stop, [inbox] { post(inbox, [](FolderListing& l) { l.onOpened(); }); },
                [inbox](std::vector<std::string> folders, std::vector<std::string> links) {
                    post(inbox, [folders = std::move(folders), links = std::move(links)](FolderListing& l) {
                        l.onFound(folders, links);
                    });
                });
        },
        [inbox] { post(inbox, [](FolderListing& l) { l.onEnded(); }); });
}

FolderListing::~FolderListing() {
    *m_inbox->stop = true;
    m_inbox->owner = nullptr;
}

void FolderListing::onOpened() {
    if (!m_ended && m_handlers.opened)
        m_handlers.opened();
}

void FolderListing::onFound(const std::vector<std::string>& folders, const std::vector<std::string>& links) {
    if (m_ended)  // a batch that came back after its mount had been given up
        return;
    m_links.insert(m_links.end(), links.begin(), links.end());
    if (!folders.empty() && m_handlers.found)
        m_handlers.found(texts(folders));
}

void FolderListing::onEnded() {
    if (m_ended)
        return;
    m_ended = true;
    const std::optional<int> error = m_inbox->plain.wait();
    const std::shared_ptr<Inbox> inbox = m_inbox;
    // A copy: the handler may drop this listing, and its handlers with it.
    if (const auto ended = m_handlers.ended)
        ended(error.value_or(svl::kNoAnswerErrno));
    if (inbox->owner)  // not dropped by the handler
        resolveLinks(0);
}

void FolderListing::resolveLinks(size_t from) {
    if (from >= m_links.size()) {
        m_finished = true;
        if (const auto done = m_handlers.linksDone)
            done();
        return;
    }
    const int run = ++m_linkRun;
    auto at = std::make_shared<std::atomic<size_t>>(from);
    m_inbox->linkAt = at;
    const std::weak_ptr<Inbox> inbox = m_inbox;
    std::vector<std::string> paths;
    for (size_t i = from; i < m_links.size(); ++i)
        paths.push_back(m_bytes == "/" ? "/" + m_links[i] : m_bytes + "/" + m_links[i]);
    m_inbox->links.start(
        [inbox, run, from, at, paths = std::move(paths), stop = m_inbox->stop] {
            for (size_t k = 0; k < paths.size() && !*stop; ++k) {
                *at = from + k;
                const int kind = linkKind(paths[k]);
                post(inbox, [run, index = from + k, kind](FolderListing& l) { l.onLink(run, index, kind); });
            }
            return 0;
        },
        [inbox, run] { post(inbox, [run](FolderListing& l) { l.onLinksEnded(run); }); });
}

void FolderListing::onLink(int run, size_t index, int kind) {
    if (run != m_linkRun)
        return;
    const QString name = pathText(m_links[index]);
    if (kind == kFolder && m_handlers.found)
        m_handlers.found({name});
    else if (kind == kNoAnswer && m_handlers.unanswered)
        m_handlers.unanswered(name);
}

void FolderListing::onLinksEnded(int run) {
    if (run != m_linkRun)
        return;
    if (m_inbox->links.outcome() == svl::WatchedTask<int>::Outcome::Done) {
        resolveLinks(m_links.size());
        return;
    }
    // Given up in one link: that one does not answer, the rest are asked on a new task.
    const size_t stuck = *m_inbox->linkAt;
    onLink(run, stuck, kNoAnswer);
    resolveLinks(stuck + 1);
}
