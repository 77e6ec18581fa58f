// Lookup by number, vCard import and export, deleting everything.
import { call, rpc, uploadVcards } from './rpc.js';
import { $, el, announce, confirmDialog } from './dom.js';
import { tr } from './i18n.js';
import { dialable } from './contact.js';
import { showCard, closePanel } from './card.js';
import { refresh, reset } from './list.js';

let found = null;

async function lookUp(event) {
  event.preventDefault();
  const typed = $('lookup-number').value;
  found = null;
  $('lookup-open').hidden = true;
  try {
    const contact = await call('getContactByNumber', { number: dialable(typed) });
    if (contact && contact.key) {
      found = contact;
      $('lookup-text').removeAttribute('data-t');
      $('lookup-text').textContent = contact.formattedName;
      $('lookup-open').hidden = false;
    } else {
      tr($('lookup-text'), 'lookupNone');
    }
  } catch (refusal) {
    $('lookup-text').replaceChildren();
    announce(refusal);
  }
}

// Report rows: text key, and the counts it sums.
const REPORT_ROWS = [
  ['rep.added', ['added']],
  ['rep.updated', ['updated']],
  ['rep.unchanged', ['unchanged']],
  ['rep.failed', ['failed']],
  ['rep.numbers', ['numbers_changed']],
  ['rep.skipped', ['skipped_properties']],
  ['rep.dropped', ['dropped_numbers', 'dropped_emails', 'dropped_addresses']],
];

function showReport(report, update) {
  const counts = REPORT_ROWS.filter(
    ([key]) => update || (key !== 'rep.updated' && key !== 'rep.unchanged'),
  ).map(([key, fields]) =>
    el('li', { t: key, tp: { n: fields.reduce((sum, f) => sum + (report[f] || 0), 0) } }),
  );
  const body = [el('ul', { class: 'counts' }, ...counts)];
  if (report.error)
    body.unshift(el('p', { class: 'notice', t: 'rep.stopped', tp: { reason: report.error } }));
  const refused = report.refused || [];
  if (refused.length) {
    const items = refused.map((r) =>
      el('li', { t: 'rep.refusedItem', tp: { line: r.line, name: r.formattedName, reason: r.reason } }),
    );
    body.push(el('ul', { class: 'refused' }, ...items));
  }
  const warnings = report.warnings || [];
  if (warnings.length || report.more_warnings) {
    const items = warnings.map((w) => el('li', { text: typeof w === 'string' ? w : JSON.stringify(w) }));
    if (report.more_warnings)
      items.push(el('li', { t: 'rep.moreWarnings', tp: { n: report.more_warnings } }));
    body.push(el('details', {}, el('summary', { t: 'rep.warnings' }), el('ul', {}, ...items)));
  }
  $('report-body').replaceChildren(...body);
  $('report').hidden = false;
  $('report-h').focus();
}

async function importFile(event) {
  event.preventDefault();
  const file = $('import-file').files[0];
  if (!file) {
    announce('err.noFile');
    $('import-file').focus();
    return;
  }
  const button = $('import-button');
  button.disabled = true;
  try {
    const update = $('import-update').checked;
    showReport(await uploadVcards(file, update), update);
    refresh();
  } catch (refusal) {
    announce(refusal);
  } finally {
    button.disabled = false;
  }
}

async function deleteAll() {
  if (!(await confirmDialog('confirm.all1.title', 'confirm.all1.text', {}, 'delete'))) return;
  if (!(await confirmDialog('confirm.all2.title', 'confirm.all2.text', {}, 'deleteAllConfirm'))) return;
  try {
    await call('removeAllContacts');
    announce('deletedAll');
    closePanel(null);
    await reset();
  } catch (refusal) {
    announce(refusal);
  }
}

// A download cannot ask for a login, so the session is made sure of first.
async function exportFile(event) {
  const link = $('export-link');
  if (link.dataset.ready) {
    delete link.dataset.ready;
    return;
  }
  event.preventDefault();
  try {
    await rpc('session');
  } catch (refusal) {
    announce(refusal);
    return;
  }
  link.dataset.ready = '1';
  link.click();
}

function exportHref() {
  $('export-link').href = `/vcard?version=${encodeURIComponent($('export-version').value)}`;
}

export function initTools() {
  $('lookup').addEventListener('submit', lookUp);
  $('lookup-open').addEventListener('click', () => found && showCard(found));
  $('import').addEventListener('submit', importFile);
  $('delete-all').addEventListener('click', deleteAll);
  $('export-version').addEventListener('change', exportHref);
  $('export-link').addEventListener('click', exportFile);
  exportHref();
}
