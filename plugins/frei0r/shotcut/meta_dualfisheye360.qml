// The dualfisheye360 frei0r filter in Shotcut's filter list (Video), with
// its controls in ui.qml. Installed into <prefix>/share/shotcut/qml/filters/dualfisheye360.
import QtQuick
import org.shotcut.qml

Metadata {
    type: Metadata.Filter
    name: qsTr('Dual Fisheye to 360')
    keywords: qsTr('360 equirectangular stitch fisheye spherical panorama', 'search keywords for the filter')
    mlt_service: 'frei0r.dualfisheye360'
    objectName: 'dualfisheye360'
    qml: 'ui.qml'
}
