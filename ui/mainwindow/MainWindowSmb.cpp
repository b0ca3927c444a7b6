// The window's side of reading SMB shares directly: the one login prompter its jobs share.
#include "ui/mainwindow/MainWindow.h"
#include "ui/smb/SmbLoginPrompter.h"

SmbLoginPrompter* MainWindow::smbPrompter() {
    if (!m_smbPrompter) {
        // The prompter asks through the window's gate, so a question still on its way when the
        // window closes ends at once and the job can finish.
        m_smbPrompter = makeSmbPrompterHook ? makeSmbPrompterHook(this, m_guiCalls)
                                            : std::make_shared<SmbLoginPrompter>(this, m_guiCalls);
    }
    return m_smbPrompter.get();
}
