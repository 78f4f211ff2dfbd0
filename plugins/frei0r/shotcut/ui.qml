// Controls of the dualfisheye360 filter: the MLT properties are the frei0r
// parameter names; angles in degrees; the field of view is set as 0..1 of
// 180 degrees and the baseline as 0..1 of 200 millimetres, as the filter takes them.
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Shotcut.Controls as Shotcut

Item {
    width: 350
    height: 400

    function setControls() {
        calibration.text = filter.get('calibration')
        yaw.value = filter.getDouble('yaw')
        pitch.value = filter.getDouble('pitch')
        roll.value = filter.getDouble('roll')
        colorMatch.checked = filter.get('color_match') !== '0'
        stereo.checked = filter.get('layout') === 'stereo'
        projection.currentIndex = Math.max(0, ['equirect', 'flat', 'planet'].indexOf(filter.get('projection')))
        fov.value = filter.getDouble('fov') * 180
        seam.text = filter.get('seam')
        baseline.value = filter.getDouble('baseline') * 200
    }

    Component.onCompleted: {
        if (filter.isNew) {
            filter.set('yaw', 0)
            filter.set('pitch', 0)
            filter.set('roll', 0)
            filter.set('color_match', 1)
            filter.set('layout', 'stitch')
            filter.set('projection', 'equirect')
            filter.set('fov', 100 / 180)
            filter.set('seam', 'far')
            filter.set('baseline', 30 / 200)
        }
        // The clip's own calibration where none is typed in.
        if (producer.resource)
            filter.set('clip', producer.resource)
        setControls()
    }

    GridLayout {
        anchors.fill: parent
        anchors.margins: 8
        columns: 2

        Label { text: qsTr('Calibration') }
        TextField {
            id: calibration
            Layout.fillWidth: true
            placeholderText: qsTr("the clip's own")
            onEditingFinished: filter.set('calibration', text)
        }
        Label { text: qsTr('Yaw') }
        Shotcut.SliderSpinner {
            id: yaw
            minimumValue: -180
            maximumValue: 180
            decimals: 1
            suffix: ' °'
            onValueChanged: filter.set('yaw', value)
        }
        Label { text: qsTr('Pitch') }
        Shotcut.SliderSpinner {
            id: pitch
            minimumValue: -90
            maximumValue: 90
            decimals: 1
            suffix: ' °'
            onValueChanged: filter.set('pitch', value)
        }
        Label { text: qsTr('Roll') }
        Shotcut.SliderSpinner {
            id: roll
            minimumValue: -180
            maximumValue: 180
            decimals: 1
            suffix: ' °'
            onValueChanged: filter.set('roll', value)
        }
        Label {}
        CheckBox {
            id: colorMatch
            text: qsTr("Match the lenses' colour")
            onClicked: filter.set('color_match', checked ? 1 : 0)
        }
        Label {}
        CheckBox {
            id: stereo
            text: qsTr('One panorama per lens')
            onClicked: filter.set('layout', checked ? 'stereo' : 'stitch')
        }
        Label { text: qsTr('Projection') }
        ComboBox {
            id: projection
            Layout.fillWidth: true
            model: [qsTr('360 panorama'), qsTr('Flat view'), qsTr('Little planet')]
            onActivated: filter.set('projection', ['equirect', 'flat', 'planet'][currentIndex])
        }
        Label { text: qsTr('Field of view') }
        Shotcut.SliderSpinner {
            id: fov
            minimumValue: 1
            maximumValue: 179
            decimals: 1
            suffix: ' °'
            onValueChanged: filter.set('fov', value / 180)
        }
        Label { text: qsTr('Seams') }
        TextField {
            id: seam
            Layout.fillWidth: true
            placeholderText: qsTr('far, auto (each frame measured alone) or a distance: 1.5m')
            onEditingFinished: filter.set('seam', text)
        }
        Label { text: qsTr('Lens baseline') }
        Shotcut.SliderSpinner {
            id: baseline
            minimumValue: 1
            maximumValue: 200
            decimals: 0
            suffix: ' mm'
            onValueChanged: filter.set('baseline', value / 200)
        }
        Item { Layout.fillHeight: true }
    }
}
