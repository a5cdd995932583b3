import QtQuick 2.12
import QtQuick.Window 2.12
import QtQuick.Controls 2.12

// The console's only window: a menu with the settings actions over a stack that shows the main screen
// and, on demand, the settings screen or the timing feed's. The screens live as long as the window.
ApplicationWindow {
    id: applicationWindow
    visible: true
    width: 400
    minimumWidth: 400
    height: 600
    color: "#000000"
    title: qsTr("REROD Quick")

    menuBar: MenuBar {
        font.pointSize: 12

        Menu {
            title: qsTr("Параметры")
            font.pointSize: 12

            Action {
                id: mainActionSettings
                text: qsTr("Настройки")
                // The screen shows the stored RPM values, not what was left unconfirmed at a previous visit.
                onTriggered: {
                    settingsPage.loadSettings()
                    mainAppView.push(settingsPage)
                }
            }

            Action {
                id: mainActionTimingFeed
                text: qsTr("Хронометраж")
                // From whichever screen is shown (left as with "Отмена"), with the stored settings.
                onTriggered: {
                    mainAppView.pop(null, StackView.Immediate)
                    timingFeedPage.loadSettings()
                    mainAppView.push(timingFeedPage)
                }
            }
        }
    }

    StackView {
        id: mainAppView
        anchors.fill: parent
        initialItem: mainScreen

        MainScreen {
            id: mainScreen
        }

        SettingsScreen {
            id: settingsPage
            visible: false
        }

        TimingFeedScreen {
            id: timingFeedPage
            visible: false
        }
    }
}
