// The subfolders of one folder, listed on watched tasks and handed to the GUI thread as they
// arrive, so the folder chooser never waits on a mount and never takes a slow one for dead:
// a folder is given up only when its mount stops answering for its limit. Links are resolved
// after the plain entries, one after another on watched tasks of their own, so a link into a
// mount that does not answer costs only itself and holds nothing else. Destroying the
// listing drops whatever has not arrived. GUI thread.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class FolderListing {
public:
    // Called on the GUI thread while the listing lives, in this order: `opened` once the folder
    // could be opened for listing, `found` for each batch of folder names, `ended` once the
    // plain entries are through (0, or the errno that ended the listing: svl::kNoAnswerErrno
    // when its mount stopped answering), then `found` or `unanswered` for the links that lead
    // to folders or whose target does not answer, and `linksDone`.
    struct Handlers {
        std::function<void()> opened;
        std::function<void(const QStringList& names)> found;
        std::function<void(int error)> ended;
        std::function<void(const QString& name)> unanswered;
        std::function<void()> linksDone;
    };

    // Starts listing `folder` (hidden entries, "." first, only when `hidden`).
    FolderListing(const QString& folder, bool hidden, Handlers handlers);
    ~FolderListing();
    FolderListing(const FolderListing&) = delete;
    FolderListing& operator=(const FolderListing&) = delete;

    const QString& folder() const { return m_folder; }
    // Every entry and link answered or given up.
    bool finished() const { return m_finished; }

    struct Inbox;

private:
    void onOpened();
    void onFound(const std::vector<std::string>& folders, const std::vector<std::string>& links);
    void onEnded();
    void resolveLinks(size_t from);
    void onLink(int run, size_t index, int kind);
    void onLinksEnded(int run);

    QString m_folder;
    std::string m_bytes;
    Handlers m_handlers;
    std::shared_ptr<Inbox> m_inbox;
    std::vector<std::string> m_links;
    bool m_ended = false;
    bool m_finished = false;
    int m_linkRun = 0;
};
