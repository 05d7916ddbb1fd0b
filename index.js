'use strict';
// The addon is prebuilt for one platform; the broker executable and the
// home installer it starts ship beside it in the same folder.
const path = require('node:path');

module.exports = require(path.join(__dirname, 'prebuilds', `${process.platform}-${process.arch}`,
                                   'nuvra_profile_startup.node'));
