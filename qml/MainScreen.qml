import QtQuick 2.0
import QtQuick.Controls 2.12
import QtQuick.Layouts 1.12

// What the operator watches: the live transponders with their per-kart limit buttons, the retranslator's
// link state and the global limit buttons. Every value is a binding to the core objects; every button
// writes a limit mode into the live list model, which turns it into commands.
Rectangle {
    id: rectangle

    // Red half of each second while a kart has not taken its limit 3 s after it was commanded: that kart's checked
    // row button blinks between grey and red.
    property bool blinkRedNow: false

    Timer {
        interval: 500
        repeat: true
        running: Object.keys(transpondersListModel.limitsNotTaken).length > 0
        onTriggered: rectangle.blinkRedNow = !rectangle.blinkRedNow
        onRunningChanged: rectangle.blinkRedNow = false
    }

    ListView {
        id: transpondersList
        anchors.top: parent.top
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.bottom: flagState.top
        anchors.bottomMargin: 0
        model: transpondersListModel
        spacing: 5

        delegate: Rectangle {
            id: row
            height: 48
            width: transpondersList.width
            property bool blinkRed: rectangle.blinkRedNow && transpondersListModel.limitsNotTaken[transponderId] === true

            RowLayout {
                id: transponderRow
                anchors.fill: parent
                height: 48
                spacing: 5

                Rectangle {
                    id: numPlate
                    Layout.preferredWidth: 48
                    Layout.preferredHeight: 48
                    color: isTransponderOnline ? "#ff5f00" : "grey"

                    Text {
                        anchors.fill: parent
                        text: transpondersModel.getKartNumByTransponderId(transponderId)
                        font.pointSize: 12
                        color: "white"
                        horizontalAlignment: Text.AlignHCenter
                        verticalAlignment: Text.AlignVCenter
                    }
                }

                Rectangle {
                    color: "transparent"
                    Layout.fillWidth: true
                    Layout.fillHeight: true

                    Text {
                        x: 0
                        y: 0
                        width: 24
                        text: "RPM"
                        font.pointSize: 10
                        horizontalAlignment: Text.AlignHCenter
                    }
                    Text {
                        x: 48
                        y: 0
                        width: 24
                        text: "RSSI: " + rssiValue + " dBm"
                        font.pointSize: 10
                    }
                    Text {
                        x: 48
                        y: 24
                        text: transponderId
                        font.pointSize: 10
                    }
                    Text {
                        x: 0
                        y: 24
                        text: rpmValue
                        font.pointSize: 10
                        horizontalAlignment: Text.AlignHCenter
                    }
                }

                CommonRowButton {
                    id: rowBtn25p
                    blinkRed: row.blinkRed
                    text: "25%"
                    checked: limitMode == "p25"
                    onClicked: limitMode = "p25"
                }
                CommonRowButton {
                    id: rowBtn50p
                    blinkRed: row.blinkRed
                    text: "50%"
                    checked: limitMode == "p50"
                    onClicked: limitMode = "p50"
                }
                CommonRowButton {
                    id: rowBtn100p
                    blinkRed: row.blinkRed
                    text: "100%"
                    checked: limitMode == "p100"
                    onClicked: limitMode = "p100"
                }
                CommonRowButton {
                    id: rowBtnStop
                    blinkRed: row.blinkRed
                    text: "STOP"
                    checked: limitMode == "p0"
                    onClicked: limitMode = "p0"
                    background: Rectangle {
                        anchors.fill: parent
                        border.color: "black"
                        color: rowBtnStop.checked ? (limitOk || rowBtnStop.blinkRed ? "red" : "grey") : "white"
                    }
                }
            }
        }
    }

    // The timing feed's flag, and the limit it chose when that limit is in force; red while the feed is lost. Takes
    // no room while no feed is set.
    Rectangle {
        id: flagState

        readonly property string flag: timingFeed.connected ? timingFeed.flag : "lost"
        readonly property var look: ({
            "lost": { color: "red", text: qsTr("Хронометраж: нет связи, ") + timingFeed.address },
            "": { color: "#777777", text: qsTr("Хронометраж: флага нет") },
            "green": { color: "green", text: qsTr("Зелёный флаг") },
            "yellow": { color: "#ffd600", text: qsTr("Жёлтый флаг") },
            "red": { color: "red", text: qsTr("Красный флаг") },
            "finish": { color: "black", text: qsTr("Финиш") }
        })
        readonly property var limitNames: ({ "p0": "STOP", "p25": "25%", "p50": "50%", "p100": "100%" })

        anchors.left: parent.left
        anchors.right: parent.right
        anchors.bottom: translatorState.top
        height: visible ? 20 : 0
        visible: timingFeed.address !== ""
        color: look[flag].color

        Text {
            anchors.fill: parent
            anchors.leftMargin: 8
            color: flagState.flag === "yellow" ? "black" : "white"
            font.pixelSize: 12
            verticalAlignment: Text.AlignVCenter
            elide: Text.ElideRight
            text: flagState.look[flagState.flag].text
                  + (flagState.flag !== "lost" && flagFollower.feedLimitMode !== ""
                     ? qsTr(", ограничение ") + flagState.limitNames[flagFollower.feedLimitMode] : "")
        }
    }

    Rectangle {
        id: translatorState
        anchors.left: parent.left
        anchors.leftMargin: 0
        anchors.right: parent.right
        anchors.rightMargin: 0
        anchors.bottom: bottomButtons.top
        anchors.bottomMargin: 0
        height: 20
        color: retranlatorState.state.isOnline ? "green" : "#777777"

        Text {
            id: retranslatorStateText
            anchors.fill: parent
            anchors.leftMargin: 8
            color: "white"
            font.pixelSize: 12
            verticalAlignment: Text.AlignVCenter
            text: retranlatorState.state.isOnline ? qsTr("Контроллер: ок, ") + retranlatorState.state.ipAddress
                                                  : qsTr("Контроллер: отключен")
        }
    }

    Rectangle {
        id: bottomButtons
        anchors.left: parent.left
        anchors.leftMargin: 0
        anchors.right: parent.right
        anchors.rightMargin: 0
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 0
        height: 72
        color: "#2a2a2a"

        CommonButton {
            id: button25p
            text: qsTr("25%")
            width: 64
            height: 64
            anchors.top: parent.top
            anchors.topMargin: 4
            anchors.bottom: parent.bottom
            anchors.bottomMargin: 4
            anchors.left: parent.left
            anchors.leftMargin: 4
            checked: transpondersListModel.limitMode === "p25"
            limValue: transpondersListModel.rpmLimits.p25
            onClicked: transpondersListModel.limitMode = "p25"
        }
        CommonButton {
            id: button50p
            text: qsTr("50%")
            width: 64
            anchors.top: parent.top
            anchors.topMargin: 4
            anchors.bottom: parent.bottom
            anchors.bottomMargin: 4
            anchors.left: button25p.right
            anchors.leftMargin: 4
            checked: transpondersListModel.limitMode === "p50"
            limValue: transpondersListModel.rpmLimits.p50
            onClicked: transpondersListModel.limitMode = "p50"
        }
        CommonButton {
            id: button100p
            text: qsTr("100%")
            width: 64
            anchors.top: parent.top
            anchors.topMargin: 4
            anchors.bottom: parent.bottom
            anchors.bottomMargin: 4
            anchors.left: button50p.right
            anchors.leftMargin: 4
            checked: transpondersListModel.limitMode === "p100"
            limValue: transpondersListModel.rpmLimits.p100
            onClicked: transpondersListModel.limitMode = "p100"
        }
        CommonButton {
            id: buttonStop
            text: qsTr("STOP")
            width: 64
            anchors.top: parent.top
            anchors.topMargin: 4
            anchors.bottom: parent.bottom
            anchors.bottomMargin: 4
            anchors.left: button100p.right
            anchors.leftMargin: 4
            checked: transpondersListModel.limitMode === "p0"
            onClicked: transpondersListModel.limitMode = "p0"
            background: Rectangle {
                border.color: "black"
                color: buttonStop.checked ? "#ff0000" : "#ffffff"
            }
        }
        CommonButton {
            id: buttonReset
            text: qsTr("RESET")
            width: 64
            anchors.top: parent.top
            anchors.topMargin: 4
            anchors.bottom: parent.bottom
            anchors.bottomMargin: 4
            anchors.right: parent.right
            anchors.rightMargin: 4
            // Empties the list and puts every kart back to 100%, as a click on "100%" does: the button is checked as
            // a click checks it, which keeps its binding.
            onClicked: {
                transpondersListModel.resetData()
                if (!button100p.checked)
                    button100p.toggle()
                button100p.clicked()
            }
        }
    }
}
