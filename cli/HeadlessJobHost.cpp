#include "cli/HeadlessJobHost.h"

#include <utility>

bool HeadlessJobHost::performOnMain(const std::function<void()>& fn)
{
    std::lock_guard lock(m_listMutex);
    fn();
    return true;
}

void HeadlessJobHost::pathUnreadable(const QByteArray& nativePath, int error)
{
    std::lock_guard lock(m_unreadableMutex);
    m_unreadable.push_back({nativePath, error});
}

std::vector<HeadlessJobHost::UnreadablePath> HeadlessJobHost::takeUnreadable()
{
    std::lock_guard lock(m_unreadableMutex);
    return std::exchange(m_unreadable, {});
}
