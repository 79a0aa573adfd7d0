#pragma once

#include <QObject>
#include <QTimer>

// Stops the text cursor's blinking after a while without keyboard or mouse
// input, as GTK does: a monitor left open for days would otherwise repaint
// twice a second for a cursor nobody looks at. Input starts it again; the
// platform's blink rate comes back when this object goes.
class CursorBlinkLimit : public QObject {
public:
    explicit CursorBlinkLimit(QObject* parent = nullptr, int idleMs = 10000);
    ~CursorBlinkLimit() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Resume();

    const int flashTime_;  // the platform's
    QTimer idle_;
};
