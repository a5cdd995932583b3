import QtQuick 2.12
import QtTest 1.12
import "../../qml"

Item {
    id: root
    width: 400
    height: 600

    Component {
        id: mainScreenComponent
        MainScreen { anchors.fill: parent }
    }

    SignalSpy { id: appCommands; target: transpondersListModel; signalName: "resendCommandToApps" }
    SignalSpy { id: globalLimits; target: transpondersListModel; signalName: "updateTranspondersLimit" }
    SignalSpy { id: transponderLimits; target: transpondersListModel; signalName: "setTransponderLimit" }

    UiTestCase {
        id: testCase
        name: "MainScreen"

        property var screen: null

        function list() {
            return findItem(screen, function (item) { return item.model === transpondersListModel })
        }
        function globalButton(text) {
            return findItem(screen, function (item) { return item.limValue !== undefined && item.text === text })
        }
        function globalButtons() {
            return ["25%", "50%", "100%", "STOP", "RESET"].map(globalButton)
        }
        function row(i) {
            var view = list()
            tryVerify(function () { return view.itemAtIndex(i) !== null }, 2000, "row " + i + " shown")
            return view.itemAtIndex(i)
        }
        function rowButton(i, text) {
            return findItem(row(i), function (item) { return item.checkable === true && item.text === text })
        }
        // The kart number plate: the first item of the row's layout.
        function plate(i) {
            return row(i).children[0].children[0]
        }
        function statusText() {
            return findItem(screen, function (item) {
                return typeof item.text === "string" && item.text.indexOf("Контроллер") === 0
            })
        }
        function checkedGlobalButtons() {
            return globalButtons().filter(function (b) { return b.checked }).map(function (b) { return b.text })
        }
        // The row's limitMode role, read from the model itself.
        function rowModeRole(i) {
            return transpondersListModel.data(transpondersListModel.index(i, 0), 261)
        }

        function init() {
            transpondersListModel.resetData()
            testDriver.resetLinkState()
            // A known global mode: rows created from now on start at 100%.
            testDriver.remoteCommand({ appCommand: "globalRpmLimit", value: "p100" })
            while (transpondersModel.rowCount() > 0)
                transpondersModel.removeItem(0)
            screen = createTemporaryObject(mainScreenComponent, root)
            verify(screen)
            appCommands.clear()
            globalLimits.clear()
            transponderLimits.clear()
        }

        function test_layout() {
            var view = list()
            compare(view.count, 0)
            compare(view.y, 0)
            compare(view.height, 600 - 72 - 20)
            var status = statusText().parent
            compare(status.y, 600 - 72 - 20)
            compare(status.height, 20)
            compare(status.width, 400)
            var bar = globalButton("25%").parent
            compare(bar.y, 600 - 72)
            compare(bar.height, 72)
            compare(bar.width, 400)
            compareColor(bar.color, "#2a2a2a")
            var expectedX = [4, 72, 140, 208, 332]
            var buttons = globalButtons()
            for (var i = 0; i < buttons.length; ++i) {
                compare(buttons[i].x, expectedX[i], buttons[i].text)
                compare(buttons[i].y, 4, buttons[i].text)
                compare(buttons[i].width, 64, buttons[i].text)
                compare(buttons[i].height, 64, buttons[i].text)
            }
            compare(globalButton("25%").limValue, transpondersListModel.rpmLimits.p25)
            compare(globalButton("50%").limValue, transpondersListModel.rpmLimits.p50)
            compare(globalButton("100%").limValue, 10000)
            compare(globalButton("STOP").limValue, -1)
            compare(globalButton("RESET").limValue, -1)
        }

        function test_rowShowsTheReport_data() {
            return [
                { tag: "registered kart", registered: true, plate: "12" },
                { tag: "unregistered transponder", registered: false, plate: "" },
            ]
        }

        function test_rowShowsTheReport(data) {
            if (data.registered) {
                transpondersModel.addNewItem()
                transpondersModel.updateData(0, { kartNum: "12", transponderId: "4711" })
            }
            testDriver.report(4711, 8123, 10000, -67)
            tryCompare(list(), "count", 1)
            compare(plate(0).children[0].text, data.plate)
            compareColor(plate(0).color, "#ff5f00")
            compare(plate(0).width, 48)
            compare(plate(0).height, 48)
            compare(row(0).height, 48)
            compare(row(0).width, 400)
            verify(findByText(row(0), "RPM"))
            verify(findByText(row(0), "RSSI: -67 dBm"))
            verify(findByText(row(0), "4711"))
            verify(findByText(row(0), "8123"))
            // A later report updates the row in place.
            testDriver.report(4711, 9050, 10000, -71)
            compare(list().count, 1)
            verify(findByText(row(0), "9050"))
            verify(findByText(row(0), "RSSI: -71 dBm"))
        }

        function test_plateTurnsGreyWhenTheRowGoesOffline() {
            testDriver.report(7, 5000, 10000, -60)
            testDriver.report(8, 5000, 10000, -60)
            tryCompare(list(), "count", 2)
            testDriver.advanceClock(4999)
            testDriver.sweep()
            compareColor(plate(0).color, "#ff5f00", "4999 ms after the report")
            testDriver.advanceClock(1)
            testDriver.report(8, 5000, 10000, -60)
            testDriver.sweep()
            compareColor(plate(0).color, "grey", "5000 ms after the report")
            compareColor(plate(1).color, "#ff5f00", "the other row still reports")
            testDriver.report(7, 5100, 10000, -60)
            compareColor(plate(0).color, "#ff5f00", "reporting again")
            // Silent for two minutes: the row leaves the list, the other one moves up.
            testDriver.report(8, 5000, 10000, -60)
            testDriver.advanceClock(120000)
            testDriver.report(8, 5000, 10000, -60)
            testDriver.sweep()
            tryCompare(list(), "count", 1)
            // The view takes the removal in when it next lays itself out.
            tryVerify(function () { return findByText(row(0), "8") !== null })
        }

        // Rows removed above and below the ones on screen leave the karts under the pointer where they are.
        function test_rowsStayPutWhenRowsAboveAndBelowAreRemoved() {
            for (var id = 1; id <= 40; ++id)
                testDriver.report(id, 5000, 10000, -60)
            var view = list()
            tryCompare(view, "count", 40)
            view.positionViewAtIndex(15, ListView.Beginning)
            var kartAt = function (y) {
                view.forceLayout()
                return transpondersListModel.data(transpondersListModel.index(view.indexAt(200, view.contentY + y), 0), 262)
            }
            var top = kartAt(10), pointed = kartAt(200)
            compare(top, 16)
            // Karts 1-3 and 38-40 fall silent; the others report on until the silent ones are removed.
            testDriver.advanceClock(60000)
            for (id = 4; id <= 37; ++id)
                testDriver.report(id, 5000, 10000, -60)
            testDriver.advanceClock(60000)
            testDriver.sweep()
            compare(view.count, 34)
            compare(kartAt(10), top)
            compare(kartAt(200), pointed)
        }

        function test_rowButtonsSetTheRowsMode_data() {
            return [
                { tag: "25%", button: "25%", mode: "p25" },
                { tag: "50%", button: "50%", mode: "p50" },
                { tag: "100%", button: "100%", mode: "p100" },
                { tag: "STOP", button: "STOP", mode: "p0" },
            ]
        }

        function test_rowButtonsSetTheRowsMode(data) {
            testDriver.report(21, 7000, 10000, -60)
            testDriver.report(22, 7000, 10000, -60)
            tryCompare(list(), "count", 2)
            // Start from another mode than the one chosen.
            testDriver.remoteCommand({ appCommand: "transponderLimit", transponderId: 22,
                                       value: data.mode === "p25" ? "p50" : "p25" })
            appCommands.clear()
            transponderLimits.clear()
            mouseClick(rowButton(1, data.button))
            compare(rowModeRole(1), data.mode)
            verify(rowButton(1, data.button).checked)
            compare(["25%", "50%", "100%", "STOP"].filter(function (t) { return rowButton(1, t).checked }),
                    [data.button])
            compare(appCommands.count, 1)
            compare(appCommands.signalArguments[0][0],
                    { appCommand: "transponderLimit", transponderId: 22, value: data.mode })
            compare(transponderLimits.count, 1)
            compare(transponderLimits.signalArguments[0][0], 22)
            compare(transponderLimits.signalArguments[0][1], transpondersListModel.rpmLimits[data.mode])
            compare(rowModeRole(0), "p100", "the other row keeps its mode")
            verify(rowButton(0, "100%").checked)
            compare(transpondersListModel.limitMode, "p100", "the global mode stays")
        }

        function test_rowButtonFollowsLimitOk() {
            testDriver.report(5, 7000, 10000, -60)
            tryCompare(list(), "count", 1)
            var half = rowButton(0, "50%")
            var full = rowButton(0, "100%")
            compareColor(full.background.color, "green", "100% reported as in force")
            mouseClick(half)
            verify(half.checked)
            verify(!full.checked)
            compareColor(full.background.color, "white")
            compareColor(half.background.color, "grey", "the transponder still reports 10000")
            testDriver.report(5, 3000, 3000, -60)
            compareColor(half.background.color, "green")
            testDriver.report(5, 7000, 10000, -60)
            compareColor(half.background.color, "grey")
        }

        function test_rowStopColours() {
            testDriver.report(6, 7000, 10000, -60)
            tryCompare(list(), "count", 1)
            var stop = rowButton(0, "STOP")
            compareColor(stop.background.color, "white")
            compare(stop.background.border.color, "#000000")
            mouseClick(stop)
            verify(stop.checked)
            compareColor(stop.background.color, "grey")
            testDriver.report(6, 0, 0, -60)
            compareColor(stop.background.color, "red")
            testDriver.report(6, 0, 2300, -60)
            compareColor(stop.background.color, "grey")
        }

        // A kart that has not taken its STOP 3 s after it was chosen: the checked button stays grey for those 3 s, then
        // blinks between grey and red until the kart takes it. The other rows stay as they are.
        function test_rowBlinksWhileItsLimitIsNotTaken_data() {
            return [ { tag: "STOP", button: "STOP", taken: 0, colour: "red" },
                     { tag: "25%", button: "25%", taken: 2300, colour: "green" } ]
        }

        function test_rowBlinksWhileItsLimitIsNotTaken(data) {
            testDriver.report(7, 7000, 10000, -60)
            testDriver.report(8, 7000, 10000, -60)
            tryCompare(list(), "count", 2)
            var button = rowButton(0, data.button)
            mouseClick(button)
            mouseClick(rowButton(1, data.button))
            testDriver.report(8, 2000, data.taken, -60)
            testDriver.advanceClock(2999)
            testDriver.checkLimits()
            wait(1200)
            compareColor(button.background.color, "grey", "not blinking within 3 s")
            testDriver.advanceClock(1)
            testDriver.checkLimits()
            tryVerify(function () { return Qt.colorEqual(button.background.color, "red") }, 1500, "red half")
            tryVerify(function () { return Qt.colorEqual(button.background.color, "grey") }, 1500, "grey half")
            compareColor(rowButton(1, data.button).background.color, data.colour, "the kart that took it")
            testDriver.report(7, 2000, data.taken, -60)
            compareColor(button.background.color, data.colour)
            wait(1200)
            compareColor(button.background.color, data.colour, "blinking stops once the kart takes it")
        }

        function test_rowButtonsFollowOtherConsoles() {
            testDriver.report(31, 7000, 10000, -60)
            tryCompare(list(), "count", 1)
            testDriver.remoteCommand({ appCommand: "transponderLimit", transponderId: 31, value: "p25" })
            verify(rowButton(0, "25%").checked)
            verify(!rowButton(0, "100%").checked)
            compare(appCommands.count, 0, "a remote command is not sent on")
        }

        function test_statusLine() {
            var text = statusText()
            compareColor(text.parent.color, "#777777")
            compare(text.text, "Контроллер: отключен")
            compareColor(text.color, "white")
            compare(text.font.pixelSize, 12)
            compare(text.x, 8)
            testDriver.mergeLinkState({ isOnline: true, ipAddress: "192.168.77.50", globalRPMLimit: 10000 })
            compareColor(text.parent.color, "green")
            compare(text.text, "Контроллер: ок, 192.168.77.50")
            testDriver.mergeLinkState({ isOnline: false })
            compareColor(text.parent.color, "#777777")
            compare(text.text, "Контроллер: отключен")
            testDriver.mergeLinkState({ isOnline: true, ipAddress: "10.1.1.7", globalRPMLimit: 10000 })
            compare(text.text, "Контроллер: ок, 10.1.1.7")
        }

        function test_globalButtonsFollowOtherConsoles_data() {
            return [
                { tag: "p25", mode: "p25", button: "25%" },
                { tag: "p50", mode: "p50", button: "50%" },
                { tag: "p0", mode: "p0", button: "STOP" },
                { tag: "p100", mode: "p100", button: "100%" },
            ]
        }

        function test_globalButtonsFollowOtherConsoles(data) {
            // Start from a different mode, so that the command changes something.
            testDriver.remoteCommand({ appCommand: "globalRpmLimit", value: data.mode === "p50" ? "p25" : "p50" })
            testDriver.remoteCommand({ appCommand: "globalRpmLimit", value: data.mode })
            compare(checkedGlobalButtons(), [data.button])
            compareColor(globalButton("STOP").background.color, data.mode === "p0" ? "#ff0000" : "#ffffff")
            compare(appCommands.count, 0, "a remote command is not sent on")
        }

        function test_checkedGlobalButtonTurnsGreenOnConfirmation() {
            testDriver.remoteCommand({ appCommand: "globalRpmLimit", value: "p50" })
            var half = globalButton("50%")
            verify(half.checked)
            compareColor(half.background.color, "#808080", "nothing reported yet")
            testDriver.mergeLinkState({ isOnline: true, ipAddress: "192.168.77.50", globalRPMLimit: 10000 })
            compareColor(half.background.color, "#808080")
            testDriver.mergeLinkState({ isOnline: true, ipAddress: "192.168.77.50",
                                        globalRPMLimit: transpondersListModel.rpmLimits.p50 })
            compareColor(half.background.color, "green")
            compareColor(globalButton("25%").background.color, "#ffffff")
            // A new RPM for "p50" makes the button wait for the retranslator again.
            var oldRpm = transpondersListModel.rpmLimits.p50
            appSettings.updateSettings("rpmSettings", { p50RpmValue: "3500" })
            compare(half.limValue, 3500)
            compareColor(half.background.color, "#808080")
            testDriver.mergeLinkState({ globalRPMLimit: 3500 })
            compareColor(half.background.color, "green")
            appSettings.updateSettings("rpmSettings", { p50RpmValue: oldRpm })
        }

        function test_globalButtonsSetTheGlobalMode_data() {
            return [
                { tag: "25%", button: "25%", mode: "p25" },
                { tag: "50%", button: "50%", mode: "p50" },
                { tag: "STOP", button: "STOP", mode: "p0" },
                { tag: "100%", button: "100%", mode: "p100" },
            ]
        }

        // A click on the button, and its key, do the same; the bar still follows other consoles afterwards.
        function test_globalButtonsSetTheGlobalMode(data) {
            for (var byKey = 0; byKey < 2; ++byKey)
                chooseGlobalMode(data, byKey === 1)
        }

        function chooseGlobalMode(data, byKey) {
            testDriver.remoteCommand({ appCommand: "globalRpmLimit", value: data.mode === "p50" ? "p25" : "p50" })
            compare(checkedGlobalButtons(), [data.mode === "p50" ? "25%" : "50%"])
            transpondersListModel.resetData()
            testDriver.report(41, 7000, 10000, -60)
            tryCompare(list(), "count", 1)
            globalLimits.clear()
            appCommands.clear()
            if (byKey)
                testDriver.limitKey(data.mode, "F12")
            else
                mouseClick(globalButton(data.button))
            compare(transpondersListModel.limitMode, data.mode)
            compare(checkedGlobalButtons(), [data.button])
            compare(globalLimits.count, 1)
            compare(globalLimits.signalArguments[0][0], transpondersListModel.rpmLimits[data.mode])
            compare(globalLimits.signalArguments[0][1], true, "an operator's choice goes to the retranslator")
            compare(appCommands.count, 1)
            compare(appCommands.signalArguments[0][0], { appCommand: "globalRpmLimit", value: data.mode })
            tryCompare(rowButton(0, data.button), "checked", true)
        }

        function test_reset() {
            testDriver.remoteCommand({ appCommand: "globalRpmLimit", value: "p50" })
            testDriver.report(51, 7000, 3000, -60)
            testDriver.report(52, 7000, 3000, -60)
            testDriver.report(53, 7000, 3000, -60)
            tryCompare(list(), "count", 3)
            verify(globalButton("50%").checked)
            globalLimits.clear()
            mouseClick(globalButton("RESET"))
            compare(transpondersListModel.rowCount(), 0)
            tryCompare(list(), "count", 0)
            compare(checkedGlobalButtons(), ["100%"])
            compare(transpondersListModel.limitMode, "p100")
            compare(globalLimits.count, 1)
            compare(globalLimits.signalArguments[0][0], 10000)
            compare(globalLimits.signalArguments[0][1], true)
            compare(appCommands.count, 1)
            compare(appCommands.signalArguments[0][0], { appCommand: "globalRpmLimit", value: "p100" })
            // Karts heard again come back at 100%.
            testDriver.report(52, 7000, 3000, -60)
            tryCompare(list(), "count", 1)
            verify(rowButton(0, "100%").checked)
            // The bar still follows modes chosen on other consoles afterwards.
            testDriver.remoteCommand({ appCommand: "globalRpmLimit", value: "p50" })
            compare(checkedGlobalButtons(), ["50%"])
            testDriver.remoteCommand({ appCommand: "globalRpmLimit", value: "p100" })
            compare(checkedGlobalButtons(), ["100%"])
        }
    }
}
