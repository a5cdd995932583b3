import QtQuick 2.12
import QtQml 2.12
import QtQuick.Controls 2.12
import QtQuick.Layouts 1.12
import QtQuick.Controls.Material 2.12

// The timing feed's settings: the timing system's address and what its yellow, red and finish flags do to the
// global limit. Filled from the settings store on opening; written back on "OK" only when the address can be used.
Rectangle {
    property var feed: timingFeed
    readonly property bool addressUsable: feed.isUsableAddress(addressField.text)
    // The stored limit modes, in the order of the choices below.
    readonly property var limitModes: ["p0", "p25", "p50", ""]
    readonly property var limitChoices: [qsTr("STOP"), "25%", "50%", qsTr("не ограничивать")]

    function loadSettings() {
        var settings = feed.settings()
        addressField.text = settings["address"]
        onYellow.currentIndex = limitModes.indexOf(settings["onYellow"])
        onRed.currentIndex = limitModes.indexOf(settings["onRed"])
        onFinish.currentIndex = limitModes.indexOf(settings["onFinish"])
        releaseOnGreen.checked = settings["releaseOnGreen"]
    }

    // False, and nothing stored, when the address cannot be used.
    function saveSettings() {
        return feed.saveSettings({
            address: addressField.text,
            onYellow: limitModes[onYellow.currentIndex],
            onRed: limitModes[onRed.currentIndex],
            onFinish: limitModes[onFinish.currentIndex],
            releaseOnGreen: releaseOnGreen.checked
        })
    }

    ColumnLayout {
        anchors.fill: parent

        Text {
            text: qsTr("Хронометраж")
            font.pointSize: 12
            Layout.fillWidth: true
            horizontalAlignment: Text.AlignHCenter
        }

        GridLayout {
            columns: 2
            columnSpacing: 10
            Layout.fillWidth: true
            Layout.leftMargin: 10
            Layout.rightMargin: 10

            Text {
                text: qsTr("Адрес")
            }
            TextField {
                id: addressField
                placeholderText: qsTr("не подключаться")
                selectByMouse: true
                Layout.fillWidth: true

                Rectangle {
                    anchors.fill: parent
                    anchors.margins: -4
                    color: "transparent"
                    border.color: "red"
                    border.width: 2
                    visible: !addressUsable
                }
            }
            Text {
                text: qsTr("Адрес не подходит: имя или IPv4-адрес, за ним может быть :порт (1–65535)")
                color: "red"
                wrapMode: Text.WordWrap
                visible: !addressUsable
                Layout.columnSpan: 2
                Layout.fillWidth: true
            }

            Text {
                text: qsTr("Жёлтый флаг")
            }
            ComboBox {
                id: onYellow
                model: limitChoices
                Layout.fillWidth: true
            }
            Text {
                text: qsTr("Красный флаг")
            }
            ComboBox {
                id: onRed
                model: limitChoices
                Layout.fillWidth: true
            }
            Text {
                text: qsTr("Финиш")
            }
            ComboBox {
                id: onFinish
                model: limitChoices
                Layout.fillWidth: true
            }
            CheckBox {
                id: releaseOnGreen
                text: qsTr("Снимать ограничение при зелёном флаге")
                Layout.columnSpan: 2
            }
        }

        Item {
            Layout.fillHeight: true
        }

        Row {
            spacing: 10
            Layout.alignment: Qt.AlignHCenter

            Button {
                text: "OK"
                Material.background: Material.LightGreen
                Component.onCompleted: contentItem.color = "white"
                onClicked: {
                    if (saveSettings())
                        mainAppView.pop()
                    else
                        addressField.forceActiveFocus()
                }
            }
            Button {
                text: qsTr("Отмена")
                Material.background: Material.Red
                Component.onCompleted: contentItem.color = "white"
                onClicked: mainAppView.pop()
            }
        }
    }
}
