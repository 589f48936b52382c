(function () {
  'use strict';
  var each = function (list, f) { Array.prototype.forEach.call(list, f); };

  // Sorting: every column head of a sortable table becomes a button.
  function sortBy(table, column, numeric, head) {
    var descending = head.getAttribute('aria-sort') !== 'descending';
    each(table.tHead.rows[0].cells, function (th) { th.removeAttribute('aria-sort'); });
    head.setAttribute('aria-sort', descending ? 'descending' : 'ascending');
    var body = table.tBodies[0];
    var rows = Array.prototype.slice.call(body.rows);
    var key = function (row) {
      var cell = row.cells[column];
      var text = cell.hasAttribute('data-v') ? cell.getAttribute('data-v') : cell.textContent;
      if (!numeric) return text.toLowerCase();
      var value = parseFloat(text.replace(/[^0-9.\-]/g, ''));
      return isNaN(value) ? -Infinity : value;
    };
    var keyed = rows.map(function (row, i) { return { row: row, key: key(row), i: i }; });
    keyed.sort(function (a, b) {
      if (a.key === b.key) return a.i - b.i;
      return (a.key < b.key ? -1 : 1) * (descending ? -1 : 1);
    });
    keyed.forEach(function (k) { body.appendChild(k.row); });
    // A table that shows its first rows only shows the first ones of the new order.
    var shown = table.getAttribute('data-shown');
    if (shown !== null) keyed.forEach(function (k, i) { k.row.classList.toggle('extra', i >= Number(shown)); });
  }
  each(document.querySelectorAll('table.sortable'), function (table) {
    each(table.tHead.rows[0].cells, function (th, column) {
      var button = document.createElement('button');
      button.type = 'button';
      button.textContent = th.textContent;
      th.textContent = '';
      th.appendChild(button);
      var numeric = th.classList.contains('n');
      button.addEventListener('click', function () { sortBy(table, column, numeric, th); });
    });
  });

  // Filtering the class table by name.
  var filter = document.getElementById('filter');
  var classes = document.getElementById('classes');
  if (filter && classes) {
    filter.hidden = false;
    filter.addEventListener('input', function () {
      var wanted = filter.value.toLowerCase();
      each(classes.tBodies[0].rows, function (row) {
        row.hidden = wanted !== '' && row.cells[0].textContent.toLowerCase().indexOf(wanted) < 0;
      });
    });
  }

  // Treemap details on hover and focus: sizes and the dominator path.
  var map = document.querySelector('.treemap svg');
  var details = document.getElementById('details');
  if (!map || !details) return;
  var bytes = function (n) {
    var units = ['B', 'KiB', 'MiB', 'GiB', 'TiB'], u = 0;
    while (Math.abs(n) >= 1024 && u < units.length - 1) { n /= 1024; u++; }
    return (u ? n.toFixed(1) : String(n)) + ' ' + units[u];
  };
  var line = function (parent, tag, text) {
    var element = document.createElement(tag);
    element.textContent = text;
    parent.appendChild(element);
    return element;
  };
  function show(event) {
    var cell = event.target.closest ? event.target.closest('g.c') : null;
    if (!cell) return;
    details.textContent = '';
    line(details, 'h3', cell.getAttribute('data-n'));
    var sized = function (what, n) {
      line(details, 'div', what + ' ' + bytes(n)).title = n.toLocaleString('en-US') + ' bytes';
    };
    sized('retained', Number(cell.getAttribute('data-r')));
    if (cell.hasAttribute('data-s')) sized('shallow', Number(cell.getAttribute('data-s')));
    var chain = [];
    for (var g = cell; g && g !== map; g = g.parentNode) {
      if (g.classList && g.classList.contains('c')) chain.unshift(g.getAttribute('data-n'));
    }
    line(details, 'div', 'dominator path from its root:');
    var list = line(details, 'ol', '');
    chain.forEach(function (name) { line(list, 'li', name); });
  }
  map.addEventListener('mouseover', show);
  map.addEventListener('focusin', show);
})();
