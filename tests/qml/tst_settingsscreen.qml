import QtQuick 2.12
import QtQuick.Controls 2.12
import QtTest 1.12
import "../../qml"

Item {
    id: root
    width: 400
    height: 600

    // The same arrangement as in the window: the screen closes itself through the stack "mainAppView".
    StackView {
        id: mainAppView
        anchors.fill: parent
        initialItem: Rectangle { color: "black" }
    }

    Component {
        id: settingsComponent
        SettingsScreen { visible: false }
    }

    UiTestCase {
        name: "SettingsScreen"

        property var page: null

        function init() {
            testDriver.resetRpmSettings()
            while (transpondersModel.rowCount() > 0)
                transpondersModel.removeItem(0)
            while (mainAppView.depth > 1)
                mainAppView.pop(null, StackView.Immediate)
            page = createTemporaryObject(settingsComponent, root)
            verify(page)
        }

        function open() {
            page.loadSettings()
            mainAppView.push(page)
            tryCompare(mainAppView, "busy", false)
            compare(mainAppView.currentItem, page)
        }

        function rpmGroup() {
            return findItem(page, function (item) { return item.title === "Параметры ограничения оборотов" })
        }
        function rpmField(n) {
            var fields = []
            findItem(rpmGroup(), function (item) {
                if (item.placeholderText !== undefined)
                    fields.push(item)
                return false
            })
            return fields[n]
        }
        function registryList() {
            return findItem(page, function (item) { return item.model === transpondersModel })
        }
        function registryRow(i) {
            var list = registryList()
            tryVerify(function () { return list.itemAtIndex(i) !== null }, 2000, "registry row " + i + " shown")
            return list.itemAtIndex(i)
        }
        function kartField(i) { return registryRow(i).children[0] }
        function idField(i) { return registryRow(i).children[1] }
        function removeButton(i) { return registryRow(i).children[2] }
        function button(text) { return findByText(page, text) }

        function stored(i) {
            return testDriver.storedValue("transponders/tr" + i)
        }
        function typeInto(field, text, finish) {
            mouseClick(field)
            verify(field.activeFocus)
            field.selectAll()
            for (var i = 0; i < text.length; ++i)
                keyClick(text.charAt(i))
            if (finish === "return")
                keyClick(Qt.Key_Return)
            else
                mouseClick(finish)  // focus moves to another control
        }
        function addRows(count) {
            var expected = transpondersModel.rowCount() + count
            for (var i = 0; i < count; ++i)
                mouseClick(button("Добавить"))
            compare(transpondersModel.rowCount(), expected)
            tryCompare(registryList(), "count", expected)
        }

        function test_layout() {
            open()
            verify(!rpmGroup().visible)
            var heading = findByText(page, "Карты")
            verify(heading)
            compare(heading.font.pointSize, 12)
            verify(heading.y < 10, "the heading is at the top, y " + heading.y)
            var ok = button("OK")
            var cancel = button("Отмена")
            var okInPage = ok.mapToItem(page, 0, 0)
            var cancelInPage = cancel.mapToItem(page, 0, 0)
            verify(page.height - (okInPage.y + ok.height) < 10, "the buttons are at the bottom")
            compare(okInPage.y, cancelInPage.y)
            compare(cancelInPage.x - (okInPage.x + ok.width), 10)
            var middle = (okInPage.x + cancelInPage.x + cancel.width) / 2
            verify(Math.abs(middle - page.width / 2) <= 1, "the buttons are centred")
            compareColor(ok.contentItem.color, "white")
            compareColor(cancel.contentItem.color, "white")
            compareColor(button("Добавить").contentItem.color, "white")
        }

        function test_openingFillsTheHiddenFields_data() {
            return [
                { tag: "fresh store", store: null, p25: "2300", p50: "3000" },
                { tag: "stored numbers", store: { p25RpmValue: 2450, p50RpmValue: 4100 }, p25: "2450", p50: "4100" },
            ]
        }

        function test_openingFillsTheHiddenFields(data) {
            compare(rpmField(0).text, "2500")
            compare(rpmField(1).text, "5000")
            if (data.store)
                appSettings.updateSettings("rpmSettings", data.store)
            open()
            compare(rpmField(0).text, data.p25)
            compare(rpmField(1).text, data.p50)
        }

        function test_okWritesTheHiddenFieldsBackAsText() {
            appSettings.updateSettings("rpmSettings", { p25RpmValue: 2450, p50RpmValue: 4100 })
            verify(testDriver.storedType("rpmSettings/p25RpmValue") !== "QString")
            open()
            mouseClick(button("OK"))
            tryCompare(mainAppView, "busy", false)
            compare(mainAppView.depth, 1)
            compare(testDriver.storedValue("rpmSettings/p25RpmValue"), "2450")
            compare(testDriver.storedType("rpmSettings/p25RpmValue"), "QString")
            compare(testDriver.storedValue("rpmSettings/p50RpmValue"), "4100")
            compare(testDriver.storedType("rpmSettings/p50RpmValue"), "QString")
            compare(transpondersListModel.rpmLimits.p25, 2450)
            compare(transpondersListModel.rpmLimits.p50, 4100)
        }

        function test_cancelClosesWithoutSaving() {
            open()
            rpmField(0).text = "1111"
            mouseClick(button("Отмена"))
            tryCompare(mainAppView, "busy", false)
            compare(mainAppView.depth, 1)
            verify(!page.visible)
            compare(testDriver.storedKeys("rpmSettings"), [])
            compare(transpondersListModel.rpmLimits.p25, 2300)
        }

        function test_addShowsAnEmptyRow() {
            open()
            addRows(1)
            compare(kartField(0).text, "")
            compare(kartField(0).placeholderText, "№ карта")
            compare(idField(0).text, "")
            compare(idField(0).placeholderText, "№ транспондера")
            compare(removeButton(0).text, "Удалить")
            compare(testDriver.storedKeys("transponders"), ["tr0"])
            addRows(1)
            compare(testDriver.storedKeys("transponders"), ["tr0", "tr1"])
            compare(kartField(1).text, "")
        }

        function test_editsSendOneKeyEach_data() {
            return [
                { tag: "finished with Return", finish: "return" },
                { tag: "finished by leaving the field", finish: "leave" },
            ]
        }

        function test_editsSendOneKeyEach(data) {
            open()
            addRows(2)
            var finish = data.finish === "return" ? "return" : kartField(1)
            typeInto(idField(0), "77", finish)
            compare(stored(0), { kartNum: "", transponderId: 77 })
            // Text that sits in the other field without an edit having finished there must not travel along.
            mouseClick(kartField(1))
            idField(0).text = "55"
            typeInto(kartField(0), "12", finish)
            compare(stored(0), { kartNum: "12", transponderId: 77 })
            mouseClick(kartField(1))
            kartField(0).text = "99"
            typeInto(idField(0), "78", finish)
            compare(stored(0), { kartNum: "12", transponderId: 78 })
            compare(transpondersModel.getKartNumByTransponderId(78), "12")
            compare(stored(1), { kartNum: "", transponderId: "" })
        }

        function test_removeDeletesThatRow() {
            open()
            addRows(3)
            for (var i = 0; i < 3; ++i)
                transpondersModel.updateData(i, { kartNum: String(i + 1), transponderId: String(100 + i) })
            mouseClick(removeButton(1))
            compare(transpondersModel.rowCount(), 2)
            tryCompare(registryList(), "count", 2)
            compare(testDriver.storedKeys("transponders"), ["tr0", "tr1"])
            compare(stored(0), { kartNum: "1", transponderId: 100 })
            compare(stored(1), { kartNum: "3", transponderId: 102 })
            compare(transpondersModel.getKartNumByTransponderId(101), "")
        }

        function test_cancelKeepsRegistryEdits() {
            open()
            addRows(1)
            typeInto(kartField(0), "7", "return")
            typeInto(idField(0), "4711", "return")
            mouseClick(button("Отмена"))
            tryCompare(mainAppView, "busy", false)
            compare(mainAppView.depth, 1)
            compare(transpondersModel.rowCount(), 1)
            compare(transpondersModel.getKartNumByTransponderId(4711), "7")
            compare(stored(0), { kartNum: "7", transponderId: 4711 })
        }
    }
}
