#include "dialogs/MuteMenu.h"

#include <QAction>
#include <QMenu>
#include <utility>

#include "dialogs/MuteTimes.h"
#include "platform/Clock.h"

QMenu* NewMuteMenu(QWidget* parent, std::function<void(std::int64_t until)> chosen) {
    auto* menu = new QMenu(QStringLiteral("&Mute alerts"), parent);
    menu->setObjectName(QStringLiteral("MuteAlertsMenu"));
    const struct {
        MuteLength length;
        const char* name;
        const char* text;
    } choices[] = {
        {MuteLength::OneHour, "MuteOneHourAction", "For &1 hour"},
        {MuteLength::FourHours, "MuteFourHoursAction", "For &4 hours"},
        {MuteLength::UntilTomorrowMorning, "MuteUntilMorningAction", "Until &tomorrow 08:00"},
        {MuteLength::UntilUnmuted, "MuteUntilUnmutedAction", "Until &unmuted"},
    };
    for (const auto& choice : choices) {
        QAction* action = menu->addAction(QString::fromLatin1(choice.text));
        action->setObjectName(QString::fromLatin1(choice.name));
        QObject::connect(action, &QAction::triggered, menu,
                         [chosen, length = choice.length] { chosen(MuteEnd(length, LocalNow())); });
    }
    return menu;
}
