#include "modalanswerer.h"

#include <QApplication>
#include <QWidget>

ModalAnswerer::ModalAnswerer(Answer answer) : m_answer(std::move(answer))
{
    connect(&m_timer, &QTimer::timeout, this, &ModalAnswerer::poll);
    m_timer.start(20);
}

void ModalAnswerer::poll()
{
    QWidget *dialog = QApplication::activeModalWidget();
    if (!dialog) {
        m_last = nullptr;
        return;
    }
    if (dialog == m_last || !dialog->isVisible())
        return;
    m_last = dialog;
    seen << QString::fromLatin1(dialog->metaObject()->className());
    m_answer(dialog);
}
