#include "CursorBlink.h"

#include <QApplication>
#include <QEvent>

CursorBlinkLimit::CursorBlinkLimit(QObject* parent, int idleMs)
    : QObject(parent), flashTime_(QApplication::cursorFlashTime())
{
    idle_.setSingleShot(true);
    idle_.setInterval(idleMs);
    connect(&idle_, &QTimer::timeout, this, [] { QApplication::setCursorFlashTime(0); });
    idle_.start();
    qApp->installEventFilter(this);
}

CursorBlinkLimit::~CursorBlinkLimit()
{
    QApplication::setCursorFlashTime(flashTime_);
}

bool CursorBlinkLimit::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::MouseButtonPress:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::InputMethod:
        Resume();
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void CursorBlinkLimit::Resume()
{
    if (QApplication::cursorFlashTime() != flashTime_)
        QApplication::setCursorFlashTime(flashTime_);
    idle_.start();
}
