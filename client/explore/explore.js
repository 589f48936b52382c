// The heap explorer's page: every view is drawn from the JSON API of vesk
// serve. Text from the heap is only ever inserted as text (textContent),
// never as markup. The URL's fragment names the view and its arguments
// ("#/object?tag=1f"), so back, forward and shared links work; the token
// comes once in the fragment and is kept for the tab in sessionStorage.
"use strict";

const PAGE = 100;
const main = document.getElementById("main");
let token = sessionStorage.getItem("vesk-token") || "";
let drawn = 0;  // bumped per view, so that a late answer of a left view is dropped

(function takeToken() {
  const hash = location.hash.slice(1);
  if (!hash.startsWith("token=")) return;
  token = hash.slice(6).split("&")[0];
  sessionStorage.setItem("vesk-token", token);
  history.replaceState(null, "", location.pathname + "#/overview");
})();

// el("td", {className: "n"}, "text", child, ...): an element; strings become text nodes.
function el(name, props, ...children) {
  const node = document.createElement(name);
  for (const [key, value] of Object.entries(props || {})) {
    if (key === "on") for (const [event, handler] of Object.entries(value)) node.addEventListener(event, handler);
    else if (key in node) node[key] = value;
    else node.setAttribute(key, value);
  }
  for (const child of children) {
    if (child === null || child === undefined || child === false) continue;
    node.append(child instanceof Node ? child : String(child));
  }
  return node;
}

function link(view, params, text) {
  return el("a", {href: href(view, params)}, text);
}

function href(view, params) {
  const query = new URLSearchParams();
  for (const [key, value] of Object.entries(params || {}))
    if (value !== undefined && value !== null && value !== "") query.set(key, value);
  const text = query.toString();
  return "#/" + view + (text ? "?" + text : "");
}

function go(view, params) {
  location.hash = href(view, params);
}

function objectLink(tag) {
  return el("a", {href: href("object", {tag}), className: "mono"}, tag);
}

function escapeRegex(text) {
  return text.replace(/[.*+?^${}()|[\]\\]/g, "\\$&");
}

// A class name, linked to its row of the histogram (a class object's label,
// "class NAME", to NAME's row).
function classLink(name) {
  const row = name.startsWith("class ") ? name.slice(6) : name;
  return el("a", {href: href("histogram", {filter: "^" + escapeRegex(row) + "$"}), className: "name"}, name);
}

function number(value) {
  return typeof value === "number" ? value.toLocaleString("en-US") : String(value);
}

function size(bytes) {
  if (typeof bytes !== "number") return String(bytes);
  const units = ["B", "KiB", "MiB", "GiB", "TiB"];
  let value = bytes, unit = 0;
  while (value >= 1024 && unit < units.length - 1) { value /= 1024; unit++; }
  return (unit === 0 ? String(value) : value.toFixed(1)) + " " + units[unit];
}

function sizeCell(bytes) {
  if (bytes === undefined) return el("td");
  return el("td", {className: "n", title: number(bytes) + " bytes"}, size(bytes));
}

async function api(path, params) {
  const query = new URLSearchParams();
  for (const [key, value] of Object.entries(params || {}))
    if (value !== undefined && value !== null && value !== "") query.set(key, value);
  const response = await fetch("/api/" + path + "?" + query.toString(),
                               {headers: token ? {Authorization: "Bearer " + token} : {}, credentials: "same-origin"});
  let body = null;
  try { body = await response.json(); } catch (e) { body = {error: "not JSON (" + response.status + ")"}; }
  if (!response.ok) {
    const error = new Error(body && body.error ? body.error : "status " + response.status);
    error.status = response.status;
    throw error;
  }
  return body;
}

function show(...nodes) {
  main.replaceChildren(...nodes);
}

function failure(error) {
  if (error.status === 403)
    return el("p", {className: "error"}, "This heap needs its token: open the address vesk serve printed (",
              el("span", {className: "mono"}, "http://…/#token=…"), ").");
  return el("p", {className: "error"}, error.message);
}

// Column: {key, label, size?: true, num?: true, cell?: row => node}. sort:
// {key, order, change(key, order)} sorts on the server; without it, numeric
// columns sort the rows given here.
function table(columns, rows, sort, className) {
  let shown = rows.slice();
  const body = el("tbody");
  const fill = () => body.replaceChildren(...shown.map(row => el("tr", null, ...columns.map(column => {
    if (column.cell) {
      const content = column.cell(row);
      return content instanceof HTMLTableCellElement ? content : el("td", {className: column.className || ""}, content);
    }
    const value = row[column.key];
    if (column.size) return sizeCell(value);
    if (column.num) return el("td", {className: "n"}, value === undefined ? "" : number(value));
    return el("td", {className: column.className || ""}, value === undefined ? "" : String(value));
  }))));
  const heads = columns.map(column => {
    const sortable = column.size || column.num || (sort && column.sortable);
    const th = el("th", {className: column.size || column.num ? "n" : ""});
    if (!sortable) { th.append(column.label); return th; }
    if (sort && sort.key === column.key) th.classList.add("sorted", ...(sort.order === "asc" ? ["asc"] : []));
    th.append(el("button", {type: "button", on: {click: () => {
      const order = sort && sort.key === column.key && sort.order === "desc" ? "asc" : "desc";
      if (sort && sort.change) return sort.change(column.key, order);
      shown.sort((a, b) => (order === "asc" ? 1 : -1) * ((a[column.key] || 0) - (b[column.key] || 0)));
      sort = {key: column.key, order};
      for (const other of heads) other.classList.remove("sorted", "asc");
      th.classList.add("sorted", ...(order === "asc" ? ["asc"] : []));
      fill();
    }}}, column.label));
    return th;
  });
  fill();
  return el("table", {className: className || ""}, el("thead", null, el("tr", null, ...heads)), body);
}

// "rows 1–100 of 2,345" with previous and next, each a change of offset.
function pager(offset, count, total, change) {
  if (total <= count && offset === 0) return el("div", {className: "pager note"}, number(total) + (total === 1 ? " row" : " rows"));
  return el("div", {className: "pager"},
            el("button", {type: "button", disabled: offset === 0, on: {click: () => change(Math.max(0, offset - PAGE))}}, "◀ previous"),
            el("span", null, "rows " + number(Math.min(offset + 1, total)) + "–" + number(offset + count) + " of " + number(total)),
            el("button", {type: "button", disabled: offset + count >= total, on: {click: () => change(offset + PAGE)}}, "next ▶"));
}

// Any document the API answers, drawn as nested tables: tags link to their
// objects, class names to the histogram.
function generic(value, key) {
  if (Array.isArray(value)) {
    if (value.length && value.every(item => item && typeof item === "object" && !Array.isArray(item))) {
      const keys = [];
      for (const item of value) for (const name of Object.keys(item)) if (!keys.includes(name)) keys.push(name);
      return table(keys.map(name => ({key: name, label: name, cell: row => fieldCell(name, row[name])})), value);
    }
    return el("span", null, ...value.map((item, i) => el("span", null, i ? ", " : "", generic(item, key))));
  }
  if (value && typeof value === "object") {
    return el("table", null, el("tbody", null, ...Object.entries(value).map(([name, item]) =>
      el("tr", null, el("th", null, name), fieldCell(name, item)))));
  }
  if (key === "tag" && typeof value === "string") return objectLink(value);
  if ((key === "class" || key === "className") && typeof value === "string") return classLink(value);
  if (typeof value === "number" && /bytes|shallow|retained|size/i.test(key || "")) return el("span", {title: number(value) + " bytes"}, size(value));
  if (typeof value === "number") return number(value);
  return value === null || value === undefined ? "" : String(value);
}

function fieldCell(name, value) {
  const content = generic(value, name);
  return el("td", {className: typeof value === "number" ? "n" : ""}, content);
}

// ---- views ----

async function overview(params, mine) {
  const summary = await api("summary");
  const parts = [el("h1", null, "Overview"), generic(summary)];
  try {
    const suspects = await api("suspects");
    parts.push(el("h2", null, "Findings"), generic(suspects));
  } catch (error) {
    parts.push(el("h2", null, "Findings"), failure(error));
  }
  if (mine === drawn) show(...parts);
}

const GROUPS = ["class", "package", "loader", "superclass"];

// The set of objects a view's parameters name: a histogram row of any grouping.
function setOf(params) {
  const group = GROUPS.find(g => params.has(g)) || "class";
  return {group, name: params.get(group) || "", query: {[group]: params.get(group) || ""}};
}

function setTitle(set) {
  return set.group === "class" ? classLink(set.name) : el("span", {className: "name"}, set.group + " " + set.name);
}

// Links to the views of a set: its instances, merged paths, immediate dominators, retained set.
function setLinks(query, instances) {
  return el("span", null, instances ? link("instances", query, "instances") : null, instances ? " · " : null,
            link("merged", query, "paths"), " · ", link("idom", query, "dominators"), " · ", link("retained", query, "retained set"));
}

async function histogram(params, mine) {
  const group = params.get("group") || "class";
  const state = {group, filter: params.get("filter") || "", sort: params.get("sort") || "retained",
                 order: params.get("order") || "desc", offset: Number(params.get("offset") || 0)};
  const answer = await api("histogram", {...state, limit: PAGE});
  if (mine !== drawn) return;
  const change = update => go("histogram", {...state, offset: 0, ...update});
  const select = el("select", {on: {change: () => change({group: select.value})}},
                    ...GROUPS.map(g => el("option", {value: g, selected: g === group}, "by " + g)));
  const filter = el("input", {type: "search", value: state.filter, placeholder: "regular expression", size: 40});
  const form = el("form", {className: "controls", on: {submit: event => { event.preventDefault(); change({filter: filter.value}); }}},
                  select, el("label", null, "name ", filter), el("button", {type: "submit"}, "filter"));
  const columns = [
    {key: "name", label: group, sortable: true, cell: row => el("td", null,
      el("a", {href: href("instances", {[group]: row.name}), className: "name", title: "its instances, largest retained first"}, row.name))},
    {key: "instances", label: "instances", num: true},
    {key: "shallow", label: "shallow", size: true},
    {key: "retained", label: "retained", size: true},
  ];
  columns.push({key: "", label: "of its objects", cell: row => el("td", null, setLinks({[group]: row.name}, false))});
  const sort = {key: state.sort, order: state.order, change: (key, order) => go("histogram", {...state, sort: key, order})};
  show(el("h1", null, "Histogram"), form, pager(state.offset, answer.rows.length, answer.total, offset => go("histogram", {...state, offset})),
       table(columns, answer.rows, sort));
}

async function instances(params, mine) {
  const set = setOf(params);
  const offset = Number(params.get("offset") || 0);
  const answer = await api("instances", {...set.query, offset, limit: PAGE});
  if (mine !== drawn) return;
  show(el("h1", null, "Instances of ", setTitle(set)), el("p", null, setLinks(set.query, false)),
       pager(offset, answer.rows.length, answer.total, next => go("instances", {...set.query, offset: next})),
       table(objectColumns(answer.rows), answer.rows));
}

// Columns of rows naming objects; sizes where the rows have them.
function objectColumns(rows, extra) {
  const sized = rows.some(row => row.retained !== undefined);
  return [
    {key: "tag", label: "object", cell: row => el("td", null, objectLink(row.tag))},
    {key: "class", label: "class", cell: row => el("td", null, classLink(row.class))},
    ...(extra || []),
    ...(sized ? [{key: "shallow", label: "shallow", size: true}, {key: "retained", label: "retained", size: true}] : []),
  ];
}

// The dominator chain from the root down to tag, as links back into the tree.
async function crumbs(tag) {
  const nav = el("div", {className: "crumbs"}, link("tree", {}, "root"));
  if (!tag || tag === "root") return nav;
  const object = await api("object", {tag});
  const chain = (object.dominators || []).map(d => typeof d === "string" ? {tag: d} : d).reverse();
  for (const step of [...chain, {tag, class: object.class}]) {
    if (step.tag === "root") continue;
    nav.append(" › ", link("tree", {tag: step.tag}, (step.class ? step.class + " " : "") + step.tag));
  }
  return nav;
}

async function tree(params, mine) {
  const top = params.get("tag") || "root";
  const grouped = params.get("group") === "class";
  const nav = await crumbs(top);
  const toggle = el("label", null, el("input", {type: "checkbox", checked: grouped,
    on: {change: event => go("tree", {tag: top === "root" ? "" : top, group: event.target.checked ? "class" : ""})}}), " group by class");
  const body = el("tbody");
  const tableNode = el("table", {className: "tree"},
    el("thead", null, el("tr", null, el("th", null, "object"), el("th", {className: "n"}, "shallow"),
                         el("th", {className: "n"}, "retained"), el("th", null, ""))), body);
  await addChildren(body, null, top, grouped, 0, 0);
  if (mine !== drawn) return;
  const map = el("details", {className: "treemap"}, el("summary", null, "treemap of this subtree"));
  map.addEventListener("toggle", () => {
    if (map.open && map.children.length === 1)
      drawTreemap(map, top).catch(error => map.append(el("p", {className: "error"}, String(error.message || error))));
  });
  show(el("h1", null, "Dominator tree"), nav, el("div", {className: "controls"}, toggle), map, tableNode);
}

// The subtree's treemap (the report's layout, computed by vesk serve): a
// cell per object, its children inside; a click focuses the tree on it.
async function drawTreemap(box, tag) {
  const answer = await api("treemap", {tag});
  const SVG = "http://www.w3.org/2000/svg";
  const svg = document.createElementNS(SVG, "svg");
  svg.setAttribute("viewBox", "0 0 " + answer.width + " " + answer.height);
  svg.setAttribute("role", "img");
  svg.setAttribute("aria-label", "treemap of retained sizes");
  for (const cell of answer.cells) {
    const g = document.createElementNS(SVG, "g");
    const rect = document.createElementNS(SVG, "rect");
    for (const [key, value] of [["x", cell.x], ["y", cell.y], ["width", cell.w], ["height", cell.h]]) rect.setAttribute(key, value);
    rect.setAttribute("class", "d" + Math.min(cell.depth, 3) + (cell.tag ? "" : " other"));
    const title = document.createElementNS(SVG, "title");
    title.textContent = (cell.tag ? cell.class + " " + cell.tag : number(cell.merged) + " smaller objects") + ": " + size(cell.retained);
    g.append(rect, title);
    if (cell.w > 60 && cell.h > 14) {
      const label = document.createElementNS(SVG, "text");
      label.setAttribute("x", cell.x + 3);
      label.setAttribute("y", cell.y + 11);
      label.textContent = cell.tag ? cell.class : "other";
      g.append(label);
    }
    if (cell.tag) g.addEventListener("click", event => { event.stopPropagation(); go("tree", {tag: cell.tag}); });
    svg.append(g);
  }
  box.append(answer.cells.length ? svg : el("p", {className: "note"}, "dominates nothing"));
}

// Adds one page of tag's children below the row after (the top when null),
// indented by depth; returns the number of children. Every row carries its
// depth, so a row's subtree is the rows after it that are deeper.
async function addChildren(body, after, tag, grouped, depth, offset, className) {
  const answer = await api("children", {tag, group: grouped && !className ? "class" : "none", class: className, offset, limit: PAGE});
  const largest = answer.rows.length ? Math.max(...answer.rows.map(r => r.retained || 0)) : 0;
  const rows = answer.rows.map(row => treeRow(body, row, tag, grouped, depth, largest));
  if (offset + answer.rows.length < answer.total) {
    const more = indented(depth, el("button", {type: "button", on: {click: async () => {
      const anchor = more.previousElementSibling;
      more.remove();
      await addChildren(body, anchor, tag, grouped, depth, offset + PAGE, className);
    }}}, "more (" + number(answer.total - offset - answer.rows.length) + ")"));
    rows.push(more);
  }
  if (!answer.total) rows.push(indented(depth, "dominates nothing"));
  let at = after;
  for (const row of rows) {
    if (at) at.after(row); else body.append(row);
    at = row;
  }
  return answer.total;
}

function indented(depth, content) {
  return el("tr", {"data-depth": depth},
            el("td", {colSpan: 4, className: "note", style: "padding-left:" + (depth * 1.4 + 1.4) + "em"}, content));
}

// One row of the tree: an object, or (grouped) a class whose members open below.
function treeRow(body, row, parent, grouped, depth, largest) {
  const group = !row.tag;
  const button = group || row.children > 0
    ? el("button", {type: "button", className: "toggle", "aria-expanded": "false"}, "▸")
    : el("span", {className: "toggle"});
  const label = group
    ? el("span", null, classLink(row.class), " ", el("span", {className: "note"}, "× " + number(row.count)))
    : el("span", null, classLink(row.class), " ", objectLink(row.tag));
  const bar = el("span", {className: "bar", style: "width:" + (largest ? Math.round(80 * (row.retained || 0) / largest) : 0) + "px"});
  const tr = el("tr", {className: group ? "group" : "node", "data-depth": depth},
    el("td", {className: "name", style: "padding-left:" + (depth * 1.4) + "em"}, button, label),
    sizeCell(row.shallow), sizeCell(row.retained),
    el("td", null, bar, " ", group ? "" : link("tree", {tag: row.tag}, "focus")));
  if (button.tagName === "BUTTON") button.addEventListener("click", async () => {
    const open = button.getAttribute("aria-expanded") === "true";
    button.textContent = open ? "▸" : "▾";
    button.setAttribute("aria-expanded", String(!open));
    if (open) {
      while (tr.nextElementSibling && Number(tr.nextElementSibling.dataset.depth) > depth) tr.nextElementSibling.remove();
      return;
    }
    if (group) await addChildren(body, tr, parent, grouped, depth + 1, 0, row.class);
    else await addChildren(body, tr, row.tag, grouped, depth + 1, 0);
  });
  return tr;
}

async function object(params, mine) {
  const tag = params.get("tag") || "";
  const elements = Number(params.get("elements") || 0);
  const inOffset = Number(params.get("in") || 0), outOffset = Number(params.get("out") || 0);
  const state = {tag, elements, in: inOffset, out: outOffset};
  const object = await api("object", {tag, offset: elements, limit: PAGE});
  const [incoming, outgoing] = await Promise.all([api("refs", {tag, dir: "in", offset: inOffset, limit: PAGE}),
                                                  api("refs", {tag, dir: "out", offset: outOffset, limit: PAGE})]);
  if (mine !== drawn) return;
  const parts = [el("h1", null, classLink(object.class), " ", objectLink(object.tag)),
                 el("table", null, el("tbody", null,
                   el("tr", null, el("th", null, "shallow"), sizeCell(object.shallow)),
                   el("tr", null, el("th", null, "retained"), sizeCell(object.retained)),
                   object.length !== undefined ? el("tr", null, el("th", null, "length"), el("td", {className: "n"}, number(object.length))) : null)),
                 el("p", null, link("path", {tag}, "shortest path from a GC root"), " · ", link("tree", {tag}, "in the dominator tree"))];
  const chain = (object.dominators || []).map(d => typeof d === "string" ? {tag: d} : d);
  parts.push(el("h2", null, "Dominated by"),
             chain.length ? el("ol", {className: "chain"}, ...chain.map(d => el("li", null,
               d.tag === "root" ? "the root" : objectLink(d.tag), d.class ? el("span", null, " ", classLink(d.class)) : null,
               d.retained !== undefined ? el("span", {className: "note"}, " retains " + size(d.retained)) : null)),
               el("li", null, link("tree", {}, "the root")))
                          : el("p", null, "the root alone (", link("tree", {}, "the dominator tree"), ")"));
  parts.push(el("h2", null, object.length !== undefined ? "Elements" : "Fields"));
  if (object.values === false)
    parts.push(el("p", {className: "note"}, "This input holds no field values (a snapshot, or a redacted heap dump): fields show the objects they reference only."));
  const fields = object.fields || [];
  if (object.length !== undefined && object.length > PAGE)
    parts.push(pager(elements, fields.length, object.length, next => go("object", {...state, elements: next})));
  parts.push(fields.length ? table([
    {key: "name", label: "name", cell: row => el("td", {className: "name"}, row.name)},
    {key: "type", label: "type", cell: row => el("td", {className: "name"}, row.type || "")},
    {key: "value", label: "value", cell: row => el("td", {className: "mono"},
      row.value === undefined ? (row.tag ? objectLink(row.tag) : "") : el("span", null, fieldValue(row), row.tag ? " " : "", row.tag ? objectLink(row.tag) : ""))},
  ], fields) : el("p", {className: "note"}, "none"));
  const refs = (title, answer, key) => [
    el("h2", null, title),
    pager(state[key], answer.rows.length, answer.total, next => go("object", {...state, [key]: next})),
    table(objectColumns(answer.rows, [{key: "via", label: "via", cell: row => el("td", {className: "name"}, row.via || "")}]), answer.rows, null,
          key === "in" ? "refs-in" : "refs-out"),
  ];
  parts.push(...refs("Referenced by", incoming, "in"), ...refs("References", outgoing, "out"));
  show(...parts);
}

// A primitive's value as it is; a string's (or an object's text) quoted.
function fieldValue(row) {
  return typeof row.value === "string" && /^[a-z]+$/.test(row.type || "") ? row.value : JSON.stringify(row.value);
}

async function path(params, mine) {
  const tag = params.get("tag") || "";
  const answer = await api("path", {tag});
  if (mine !== drawn) return;
  const parts = [el("h1", null, "Shortest path to ", classLink(answer.class), " ", objectLink(answer.tag)),
                 el("p", null, "retains " + size(answer.retained))];
  if (!answer.reachable || !answer.steps) {
    parts.push(el("p", {className: "note"}, "No GC root reaches it without weak, soft or phantom references."));
  } else {
    const root = answer.root || {};
    parts.push(el("p", null, "GC root: " + root.kind + (root.thread ? ", thread " + root.thread : "") +
                             (root.frame !== undefined ? ", frame " + root.frame : "")));
    parts.push(el("ol", {className: "steps"}, ...answer.steps.map(step => el("li", null,
      step.via ? el("span", {className: "name"}, step.via + " → ") : null, classLink(step.class), " ", objectLink(step.tag)))));
  }
  show(...parts);
}

function mergedNode(node) {
  const label = el("span", null, node.root ? el("span", {className: "note"}, "GC root (" + node.root + ") ") : null,
                   node.via ? el("span", {className: "name"}, node.via + " ") : null, classLink(node.class),
                   el("span", {className: "note"}, " " + number(node.objects) + " objects"));
  const children = (node.children || []).map(mergedNode);
  if (node.more) children.push(el("li", {className: "note"}, "… " + number(node.more) + " more"));
  if (!children.length) return el("li", null, label);
  return el("li", null, el("details", {open: children.length === 1}, el("summary", null, label), el("ul", {className: "merged"}, ...children)));
}

async function merged(params, mine) {
  const set = setOf(params);
  const answer = await api("merged-paths", set.query);
  if (mine !== drawn) return;
  show(el("h1", null, "Merged shortest paths to ", setTitle(set)), el("p", null, setLinks(set.query, true)),
       el("p", null, number(answer.objects) + " objects" + (answer.unreachable ? ", " + number(answer.unreachable) + " of them unreachable" : "") +
                     "; from the GC roots down, weak references left out"),
       el("ul", {className: "merged"}, ...(answer.children || []).map(mergedNode)));
}

async function idom(params, mine) {
  const set = setOf(params);
  const skip = params.has("skip") ? params.get("skip") : "^java\\.|^jdk\\.|^sun\\.";
  const answer = await api("immediate-dominators", {...set.query, skip});
  if (mine !== drawn) return;
  const input = el("input", {type: "search", value: skip, size: 40});
  const form = el("form", {className: "controls", on: {submit: event => { event.preventDefault(); go("idom", {...set.query, skip: input.value}); }}},
                  el("label", null, "skip classes matching ", input), el("button", {type: "submit"}, "apply"));
  show(el("h1", null, "Immediate dominators of ", setTitle(set)), el("p", null, setLinks(set.query, true)), form,
       table([{key: "class", label: "class", cell: row => el("td", null, classLink(row.class))},
              {key: "objects", label: "objects", num: true}, {key: "dominated", label: "dominated", num: true},
              {key: "retained", label: "retained", size: true}], answer.rows || []));
}

async function retained(params, mine) {
  const set = setOf(params);
  const offset = Number(params.get("offset") || 0);
  const answer = await api("retained-set", {...set.query, offset, limit: PAGE});
  if (mine !== drawn) return;
  const rows = answer.rows || [];
  show(el("h1", null, "Retained set of ", setTitle(set)), el("p", null, setLinks(set.query, true)),
       el("p", null, number(answer.objects) + " objects retain " + size(answer.retained) + ":"),
       pager(offset, rows.length, answer.total, next => go("retained", {...set.query, offset: next})),
       table([{key: "name", label: "class", cell: row => el("td", null, classLink(row.name))},
              {key: "instances", label: "instances", num: true}, {key: "shallow", label: "shallow", size: true},
              {key: "retained", label: "retained", size: true}], rows));
}

function threadDetails(thread) {
  const frames = (thread.frames || []).map(frame =>
    ({...frame, localsRetained: (frame.locals || []).reduce((sum, local) => sum + (local.retained || 0), 0)}));
  const locals = row => el("td", null, ...(row.locals || []).map(local => el("div", null,
    objectLink(local.tag), " ", classLink(local.class), el("span", {className: "note"}, " " + size(local.retained)))));
  const method = row => el("td", {className: "name"}, row.method,
    row.source ? el("span", {className: "note"}, " (" + row.source + (row.line > 0 ? ":" + row.line : "") + ")") : "");
  return el("details", null,
    el("summary", null, el("strong", null, thread.name || "(unnamed)"), " ", thread.tag ? objectLink(thread.tag) : null,
       el("span", {className: "note"}, " retains " + size(thread.retained || 0) + ", " + number(frames.length) + " frames")),
    table([{key: "method", label: "frame", cell: method}, {key: "locals", label: "locals", cell: locals},
           {key: "localsRetained", label: "locals retain", size: true}], frames));
}

async function threads(params, mine) {
  const answer = await api("threads");
  if (mine !== drawn) return;
  const list = answer.threads || [];
  show(el("h1", null, "Threads"),
       list.length ? el("div", null, ...list.map(threadDetails)) : el("p", {className: "note"}, "no threads"));
}

async function diff(params, mine) {
  const answer = await api("diff");
  if (mine !== drawn) return;
  show(el("h1", null, "What changed"), generic(answer));
}

const VIEWS = {overview, histogram, instances, tree, object, path, merged, idom, retained, threads, diff};

async function route() {
  const hash = location.hash.replace(/^#\/?/, "");
  const [name, query] = [hash.split("?")[0], hash.split("?").slice(1).join("?")];
  const view = VIEWS[name] || overview;
  const mine = ++drawn;
  for (const a of document.querySelectorAll("#nav a")) a.classList.toggle("on", a.getAttribute("href") === "#/" + (name || "overview"));
  document.title = "vesk serve: " + (name || "overview");
  main.setAttribute("aria-busy", "true");
  try {
    await view(new URLSearchParams(query), mine);
  } catch (error) {
    if (mine === drawn) show(failure(error));
  }
  if (mine === drawn) main.setAttribute("aria-busy", "false");
}

window.addEventListener("hashchange", route);
route();
api("summary").then(summary => { document.getElementById("nav-diff").hidden = !summary.compare; }, () => {});
